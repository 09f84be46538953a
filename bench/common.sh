# Shared by the benchmark scripts: where the build is, timing, medians.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$top/build}
cli="$build/bin/quorvane-cli"
runs=${RUNS:-5}

ensure_build() {
  if [[ ! -x "$cli" ]]; then
    make -C "$top" build >/dev/null
  fi
}

# make_work [FOLDER...]: a fresh folder in $work, removed when the script ends, with the named
# folders made inside it.
make_work() {
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  local folder
  for folder in "$@"; do mkdir -p "$work/$folder"; done
}

now() { date +%s.%N; }

# time_cmd CMD...: prints the seconds CMD took (its output is discarded).
time_cmd() {
  local start end
  start=$(now)
  "$@" >/dev/null 2>&1
  end=$(now)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

# median of the numbers on stdin
median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# measure NAME CMD...: runs CMD $runs times, prints and remembers the median.
declare -A medians
measure() {
  local name=$1; shift
  local times=()
  for ((i = 0; i < runs; i++)); do
    times+=("$(time_cmd "$@")")
  done
  medians[$name]=$(printf '%s\n' "${times[@]}" | median)
  printf '  %-28s median %7.3f s   (runs: %s)\n' "$name" "${medians[$name]}" "$(printf '%.2f ' "${times[@]}")"
}

# tool_loop WORK KBPS: the two tools run file after file with the program's own arguments,
# from WORK/src through WORK/tmp into WORK/out: what a converter without parallelism does.
tool_loop() {
  local work=$1 kbps=$2
  for f in "$work"/src/*.m4a; do
    local t="$work/tmp/$(basename "$f" .m4a).mp3"
    rm -f "$t"
    ffmpeg -v error -i "$f" -f mp3 "$t" </dev/null
    lame --quiet -h -m s -b "$kbps" "$t" "$work/out/$(basename "$t")"
  done
}

# The RMS level in dB of what lies above 16.5 kHz: six high-pass stages, 72 dB per octave.
highs() {
  local hp="highpass=f=16500"
  ffmpeg -hide_banner -nostdin -i "$1" -af "$hp,$hp,$hp,$hp,$hp,$hp,astats=measure_perchannel=none:measure_overall=RMS_level" \
    -f null - 2>&1 | awk -F': ' '/RMS level dB/ { print $2 }'
}

ratio() { awk -v a="${medians[$1]}" -v b="${medians[$2]}" 'BEGIN { printf "%.3f\n", a / b }'; }

machine() {
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/ {print $2}') GiB"
  echo "tools: $(ffmpeg -version | head -1 | cut -d' ' -f1-3), $(lame --version | head -1)"
}
