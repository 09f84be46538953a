#!/usr/bin/env bash
# The driver's own cost per file: 40 files of 1 s, quorvane-cli -j 1 against the
# same two tools run file after file by a shell loop.
source "$(dirname "$0")/common.sh"
files=${FILES:-40}
ensure_build
make_work src out tmp
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=1" -ac 2 -c:a aac -y "$work/one.m4a"
for ((i = 1; i <= files; i++)); do cp "$work/one.m4a" "$work/src/f$i.m4a"; done


echo "overhead: $files files of 1 s, one at a time, $runs runs each"
machine
measure loop tool_loop "$work" 128
measure "cli -j 1" "$cli" -j 1 -b 128 -o "$work/out" "$work/src"
per_file=$(awk -v c="${medians["cli -j 1"]}" -v l="${medians[loop]}" -v n="$files" 'BEGIN { printf "%.1f", (c - l) * 1000 / n }')
echo "  driver overhead per file: $per_file ms   (target < 20 ms)"
