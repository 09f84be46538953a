#!/usr/bin/env bash
# A mixed batch: six files of 20 s and one of 120 s, two at a time. Given with the long file
# last and with it first: quorvane-cli starts the longest first either way, so the long file
# never runs alone at the end and both take the same time.
source "$(dirname "$0")/common.sh"
ensure_build
make_work src out tmp
for i in 1 2 3 4 5 6; do
  ffmpeg -v error -f lavfi -i "sine=frequency=$((300 + 40 * i)):duration=20" -ac 2 -c:a aac -y "$work/src/song$i.m4a"
done
ffmpeg -v error -f lavfi -i "sine=frequency=220:duration=120" -ac 2 -c:a aac -y "$work/src/zz-long.m4a"
short=("$work"/src/song*.m4a)

echo "mixed batch: 6 x 20 s and 1 x 120 s, -j 2, $runs runs each"
machine
measure "long file last" "$cli" -j 2 -b 192 -o "$work/out" "${short[@]}" "$work/src/zz-long.m4a"
measure "long file first" "$cli" -j 2 -b 192 -o "$work/out" "$work/src/zz-long.m4a" "${short[@]}"
echo "  last / first: $(ratio "long file last" "long file first")"
