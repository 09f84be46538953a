#!/usr/bin/env bash
# What the two-tool pipeline costs in quality, time and temporary disk:
#   highs  for 128, 192 and 320 kbps, the energy above 16.5 kHz of quorvane-cli's MP3, of the
#          earlier pipeline's (the decoder at its default 128 kbps) and of one direct encode
#          (ffmpeg decoding to WAV piped into lame), on pink noise with a tone
#   time   the earlier pipeline's two tools file after file against quorvane-cli -j 1, and
#          both one file per core, on FILES files of 60 s at 192 kbps
#   disk   the most the temporary folder holds while a 60-minute source converts at 320 kbps
source "$(dirname "$0")/common.sh"
files=${FILES:-4}
long_minutes=${LONG_MINUTES:-60}
ensure_build
make_work src out tmp q single

# Pink noise reaches the top of the band, where the decoder's bitrate showed; AAC at 256 kbps
# keeps it up to 20 kHz.
noise() {   # noise SECONDS FILE
  ffmpeg -v error -f lavfi -i "anoisesrc=color=pink:amplitude=0.5:duration=$1" \
    -f lavfi -i "sine=frequency=1000:duration=$1" -filter_complex "amix=inputs=2,aformat=channel_layouts=stereo" \
    -c:a aac -b:a 256k -y "$2"
}

# The decoder's arguments before it was given a rate, the first audio track and no tags.
earlier_pipeline() {   # earlier_pipeline SOURCE KBPS OUT TEMPFOLDER
  local t="$4/$(basename "$1" .m4a).mp3"
  rm -f "$t"
  ffmpeg -v error -i "$1" -f mp3 "$t" </dev/null
  lame --quiet -h -m s -b "$2" "$t" "$3"
  rm -f "$t"
}

echo "quality: pink noise and a 1 kHz tone, 20 s, AAC 256 kbps; energy above 16.5 kHz (dB RMS)"
machine
noise 20 "$work/q/noise.m4a"
echo "  source                        $(highs "$work/q/noise.m4a")"
printf '  %-6s %10s %10s %10s %18s %12s %20s\n' kbps direct earlier quorvane "quorvane - direct" single-pass "single-pass - direct"
for kbps in 128 192 320; do
  ffmpeg -v error -i "$work/q/noise.m4a" -f wav - </dev/null | lame --quiet -h -m s -b "$kbps" - "$work/q/direct.mp3"
  earlier_pipeline "$work/q/noise.m4a" "$kbps" "$work/q/earlier.mp3" "$work/tmp"
  "$cli" -j 1 -b "$kbps" -o "$work/out" "$work/q/noise.m4a" >/dev/null 2>&1
  "$cli" --single-pass -b "$kbps" -o "$work/single" "$work/q/noise.m4a" >/dev/null 2>&1
  d=$(highs "$work/q/direct.mp3"); e=$(highs "$work/q/earlier.mp3"); q=$(highs "$work/out/noise.mp3")
  s=$(highs "$work/single/noise.mp3")
  printf '  %-6s %10.2f %10.2f %10.2f %18.2f %12.2f %20.2f\n' "$kbps" "$d" "$e" "$q" "$(awk -v a="$q" -v b="$d" 'BEGIN { print a - b }')" \
    "$s" "$(awk -v a="$s" -v b="$d" 'BEGIN { print a - b }')"
  rm -f "$work/out/noise.mp3" "$work/single/noise.mp3"
done
echo

echo "time: $files files of 60 s at 192 kbps, $runs runs each, the contenders taking turns"
for ((i = 1; i <= files; i++)); do
  noise 60 "$work/src/track$i.m4a"
done
earlier_loop() {
  for f in "$work"/src/*.m4a; do
    earlier_pipeline "$f" 192 "$work/out/$(basename "$f" .m4a).mp3" "$work/tmp"
  done
}
earlier_per_core() {
  export -f earlier_pipeline
  ls "$work"/src/*.m4a | xargs -P "$(nproc)" -I{} bash -c \
    'earlier_pipeline "$1" 192 "$2/$(basename "$1" .m4a).mp3" "$3"' _ {} "$work/out" "$work/tmp"
}
contenders=("earlier, file after file" "cli -j 1" "earlier, one per core" "cli (default jobs)")
run_contender() {
  case $1 in
    "earlier, file after file") earlier_loop ;;
    "cli -j 1") "$cli" -j 1 -b 192 -o "$work/out" "$work/src" ;;
    "earlier, one per core") earlier_per_core ;;
    *) "$cli" -b 192 -o "$work/out" "$work/src" ;;
  esac
}
# Wall time moves with whatever else the machine runs; processor time (user and system, the
# tools' included) hardly does.
declare -A walls cpus processor
TIMEFORMAT='%R %U %S'
for ((r = 0; r < runs; r++)); do
  for c in "${contenders[@]}"; do
    rm -f "$work"/out/*
    read -r real user sys < <({ time run_contender "$c" >/dev/null 2>&1; } 2>&1)
    walls[$c]+="$real "
    cpus[$c]+="$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') "
  done
done
for c in "${contenders[@]}"; do
  medians[$c]=$(printf '%s\n' ${walls[$c]} | median)
  processor[$c]=$(printf '%s\n' ${cpus[$c]} | median)
  printf '  %-26s wall %7.3f s  processor %7.3f s   (wall runs: %s)\n' "$c" "${medians[$c]}" "${processor[$c]}" "${walls[$c]}"
done
per_file() { awk -v t="$1" -v n="$files" 'BEGIN { printf "%.2f", t / n }'; }
cpu_ratio() { awk -v a="${processor[$1]}" -v b="${processor[$2]}" 'BEGIN { printf "%.3f\n", a / b }'; }
echo "  per file, processor: earlier $(per_file "${processor["earlier, file after file"]}") s," \
  "cli -j 1 $(per_file "${processor["cli -j 1"]}") s"
echo "  cli -j 1 / earlier loop:          wall $(ratio "cli -j 1" "earlier, file after file")" \
  "processor $(cpu_ratio "cli -j 1" "earlier, file after file")   (target <= 1.10)"
echo "  cli default / earlier per core:   wall $(ratio "cli (default jobs)" "earlier, one per core")" \
  "processor $(cpu_ratio "cli (default jobs)" "earlier, one per core")   (target <= 1.10)"
rm -f "$work"/src/*.m4a "$work"/out/*
echo

# peak_temp FOLDER CMD...: the most bytes FOLDER held while CMD ran, sampled every 0.1 s.
peak_temp() {
  local folder=$1; shift
  "$@" >/dev/null 2>&1 &
  local pid=$! peak=0 now
  while kill -0 "$pid" 2>/dev/null; do
    now=$(du -sb "$folder" 2>/dev/null | cut -f1) || true   # files come and go under du
    ((${now:-0} > peak)) && peak=$now
    sleep 0.1
  done
  wait "$pid"
  echo "$peak"
}
echo "disk: one $long_minutes-minute source at 320 kbps; the temporary folder at its fullest"
noise $((long_minutes * 60)) "$work/src/long.m4a"
mb() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1e6 }'; }
echo "  earlier pipeline   $(mb "$(peak_temp "$work/tmp" earlier_pipeline "$work/src/long.m4a" 320 "$work/tmp/long-out.mp3" "$work/tmp")")"
rm -f "$work"/tmp/*
echo "  quorvane-cli       $(mb "$(peak_temp "$work/tmp" env TMPDIR="$work/tmp" "$cli" -b 320 -o "$work/out" "$work/src/long.m4a")")"
echo "  result             $(mb "$(stat -c %s "$work/out/long.mp3")")"
