#!/usr/bin/env bash
# A batch of N files (default 8 x 60 s stereo AAC) to 192 kbps, four ways:
#   loop   the two tools run file after file by a shell loop, with quorvane's arguments
#   -j 1   quorvane-cli one file at a time
#   -j N   quorvane-cli with its default (one file per core)
#   floor  ffmpeg piped into lame, one pipeline per core
source "$(dirname "$0")/common.sh"
files=${FILES:-8}
seconds=${SECONDS_PER_FILE:-60}
ensure_build
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/out" "$work/tmp"
for ((i = 1; i <= files; i++)); do
  ffmpeg -v error -f lavfi -i "sine=frequency=$((200 + 40 * i)):duration=$seconds" \
    -f lavfi -i "anoisesrc=duration=$seconds:amplitude=0.05" -filter_complex amerge=inputs=2 \
    -ac 2 -c:a aac -b:a 128k -y "$work/src/track$i.m4a"
done

floor() {
  ls "$work"/src/*.m4a | xargs -P "$(nproc)" -I{} sh -c \
    'ffmpeg -v error -i "$1" -f wav - </dev/null | lame --quiet -h -m s -b 192 - "$2/$(basename "$1" .m4a).mp3"' _ {} "$work/out"
}

echo "batch: $files files of $seconds s stereo AAC to 192 kbps, $runs runs each"
machine
measure loop tool_loop "$work" 192
measure "cli -j 1" "$cli" -j 1 -b 192 -o "$work/out" "$work/src"
measure "cli (default jobs)" "$cli" -b 192 -o "$work/out" "$work/src"
measure floor floor
echo "  cli default / floor:  $(ratio "cli (default jobs)" floor)   (target <= 1.10)"
echo "  cli default / loop:   $(ratio "cli (default jobs)" loop)   (target <= 0.56)"
echo "  cli -j 1 / loop:      $(ratio "cli -j 1" loop)"
