#!/usr/bin/env bash
# The longest time the GUI's event loop is blocked while a 100,000-file tree is added,
# while a batch converts, and while the results window draws a 4-minute file's spectrograms
# (a timer probe in a benchmark program).
source "$(dirname "$0")/common.sh"
ensure_build
echo "responsiveness: 10,000 folders x 10 files, then 8 files of 20 s, then saving 500 files of 5 MB, then the preview of a 4-min file"
machine
for ((i = 0; i < ${RUNS:-3}; i++)); do
  "$build/bin/quorvane-bench-responsiveness" "${FOLDERS:-10000}" "${FILES:-8}"
done
