#!/usr/bin/env bash
# The results window's spectrograms: time to the picture of a 4-minute stereo file converted
# at 320 kbps (alone, then with its source as the window draws them), against the decoder
# alone on the same file; then the memory for the picture of a 3-hour file.
source "$(dirname "$0")/common.sh"
ensure_build
bench="$build/bin/quorvane-bench-sonogram"
make_work out
ffmpeg -v error -f lavfi -i "anoisesrc=d=240:c=pink:a=0.3" -f lavfi -i "sine=f=440:d=240" \
  -filter_complex "[0][1]amix=inputs=2,aformat=channel_layouts=stereo" -ar 44100 -c:a aac -y "$work/song.m4a"
"$cli" -b 320 -o "$work/out" "$work/song.m4a" >/dev/null
mp3="$work/out/song.mp3"

echo "sonogram: 4 min stereo 44.1 kHz, converted at 320 kbps; $runs runs each"
machine
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
measure "decoder alone" ffmpeg -v error -i "$mp3" -vn -ac 1 -ar 44100 -f f32le -
# ready_ms LINE: the milliseconds from the request to each picture, as the bench prints them.
ready_ms() { grep -o 'ready after [0-9]*' | awk '{ printf "%s ", $3 }'; }
mp3_times=(); both_times=()
for ((i = 0; i < runs; i++)); do
  read -r -a t <<<"$("$bench" "$mp3" "$work/song.m4a" | ready_ms)"
  mp3_times+=("${t[0]}"); both_times+=("${t[1]}")
done
printf '  picture of the MP3          median %5s ms   (runs: %s)\n' \
  "$(printf '%s\n' "${mp3_times[@]}" | median)" "${mp3_times[*]}"
printf '  then the source beside it   median %5s ms   (runs: %s)\n' \
  "$(printf '%s\n' "${both_times[@]}" | median)" "${both_times[*]}"
"$bench" "$mp3" "$work/song.m4a"

# 45 copies of the MP3 in one stream: three hours.
for ((i = 0; i < 45; i++)); do echo "file '$mp3'"; done >"$work/list.txt"
ffmpeg -v error -f concat -safe 0 -i "$work/list.txt" -c copy -y "$work/long.mp3"
echo "3 hours:"
"$bench" "$work/long.mp3"
echo "4 minutes, for comparison:"
"$bench" "$mp3"
