#!/usr/bin/env bash
# Every benchmark, one after the other; paste the output into RESULTS.md.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for b in batch overhead order walk skip responsiveness sonogram quality; do
  "$here/$b.sh"
  echo
done
