#!/usr/bin/env bash
# A batch of N files (default 8 x 60 s stereo AAC) to 192 kbps, five ways:
#   loop         the two tools run file after file by a shell loop, with quorvane's arguments
#   -j 1         quorvane-cli one file at a time
#   -j N         quorvane-cli with its default (one file per core)
#   single pass  quorvane-cli --single-pass, one file per core
#   floor        ffmpeg piped into lame, one pipeline per core
#   parallel     what a power user types instead: GNU parallel (xargs -P where it is missing)
#                running ffmpeg's own MP3 encoder at -compression_level 2 (lame's -h), one per
#                core, beside quorvane-cli --single-pass --stereo joint
# and the energy above 16.5 kHz of each file, single pass against the floor.
source "$(dirname "$0")/common.sh"
files=${FILES:-8}
seconds=${SECONDS_PER_FILE:-60}
ensure_build
make_work src out tmp single joint ffmpeg
for ((i = 1; i <= files; i++)); do
  ffmpeg -v error -f lavfi -i "sine=frequency=$((200 + 40 * i)):duration=$seconds" \
    -f lavfi -i "anoisesrc=duration=$seconds:amplitude=0.05" -filter_complex amerge=inputs=2 \
    -ac 2 -c:a aac -b:a 128k -y "$work/src/track$i.m4a"
done

floor() {
  ls "$work"/src/*.m4a | xargs -P "$(nproc)" -I{} sh -c \
    'ffmpeg -v error -i "$1" -f wav - </dev/null | lame --quiet -h -m s -b 192 - "$2/$(basename "$1" .m4a).mp3"' _ {} "$work/out"
}

by_ffmpeg() {
  local one='ffmpeg -v error -nostdin -i "$1" -c:a libmp3lame -b:a 192k -compression_level 2 -y "$2/$(basename "$1" .m4a).mp3"'
  if command -v parallel >/dev/null; then
    parallel -j "$(nproc)" sh -c "'$one'" _ {} "$work/ffmpeg" ::: "$work"/src/*.m4a
  else
    ls "$work"/src/*.m4a | xargs -P "$(nproc)" -I{} sh -c "$one" _ {} "$work/ffmpeg"
  fi
}

echo "batch: $files files of $seconds s stereo AAC to 192 kbps, $runs runs each"
machine
measure loop tool_loop "$work" 192
measure "cli -j 1" "$cli" -j 1 -b 192 -o "$work/out" "$work/src"
measure "cli (default jobs)" "$cli" -b 192 -o "$work/out" "$work/src"
measure "cli --single-pass" "$cli" --single-pass -b 192 -o "$work/single" "$work/src"
measure floor floor
measure "cli --single-pass --stereo joint" "$cli" --single-pass --stereo joint -b 192 -o "$work/joint" "$work/src"
measure parallel by_ffmpeg
echo "  cli default / floor:      $(ratio "cli (default jobs)" floor)   (target <= 1.10)"
echo "  cli --single-pass / floor: $(ratio "cli --single-pass" floor)   (target <= 1.05)"
echo "  cli --single-pass --stereo joint / parallel: $(ratio "cli --single-pass --stereo joint" parallel)   (target <= 1.05)"
echo "  cli default / loop:       $(ratio "cli (default jobs)" loop)   (target <= 0.56)"
echo "  cli -j 1 / loop:          $(ratio "cli -j 1" loop)"
worst=0
for f in "$work"/single/*.mp3; do
  d=$(awk -v a="$(highs "$f")" -v b="$(highs "$work/out/$(basename "$f")")" 'BEGIN { d = a - b; print d < 0 ? -d : d }')
  worst=$(awk -v a="$worst" -v b="$d" 'BEGIN { print (a > b ? a : b) }')
done
echo "  highs above 16.5 kHz, single pass against the floor: at most $(printf "%.2f" "$worst") dB apart   (target <= 0.5)"
