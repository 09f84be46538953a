#!/usr/bin/env bash
# A library run again: quorvane-cli --keep-tree --skip-existing over 10,000 sources whose outputs
# are all there, newer and whole, then a real small library (6 one-second tones in 2 albums) converted
# once, run again, and run once more after one file was added.
source "$(dirname "$0")/common.sh"
files=${FILES:-10000}
ensure_build
make_work
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"

# One real track, converted once by the program itself (ffmpeg, lame, the tag step), then
# copied: sources an hour old, and outputs where --keep-tree puts them, newer. Each source has
# a title, an artist and a 300x300 cover, as a library's tracks do, so a run again reads what
# the check of each output has to read.
one="$work/one"
mkdir -p "$one"
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=1" -f lavfi -i "testsrc=size=300x300:duration=1" \
  -map 0 -map 1 -frames:v 1 -c:a aac -c:v mjpeg -disposition:v attached_pic \
  -metadata title="Track" -metadata artist="Artist" "$one/track.m4a" </dev/null
"$cli" -o "$one" "$one/track.m4a" 2>/dev/null
python3 - "$work" "$files" "$one" <<'PY'
import os, shutil, sys, time
work, files, one = sys.argv[1], int(sys.argv[2]), sys.argv[3]
old = time.time() - 3600
for i in range(files):
    rel = os.path.join("Library", f"artist{i // 100:03d}", f"album{i // 10 % 10}", f"{i % 10:02d} track.")
    for top, ext in (("src", "m4a"), ("out", "mp3")):
        path = os.path.join(work, top, rel + ext)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shutil.copyfile(os.path.join(one, "track." + ext), path)
        if top == "src":
            os.utime(path, (old, old))
PY
echo "library run again: $files sources ($(stat -c %s "$one/track.m4a") bytes), every output there, newer and whole ($(stat -c %s "$one/track.mp3") bytes), $runs runs each"
machine
measure "cli --dry-run (walk only)" "$cli" --dry-run "$work/src/Library"
measure "cli --keep-tree --skip-existing" "$cli" --keep-tree --skip-existing -o "$work/out" "$work/src/Library"
echo "  summary: $("$cli" --keep-tree --skip-existing -o "$work/out" "$work/src/Library" 2>&1 >/dev/null | tail -1)"

lib="$work/small/Music"
out="$work/small-out"
for album in 1 2; do
  mkdir -p "$lib/Artist/Album $album"
  for track in 1 2 3; do
    ffmpeg -v error -f lavfi -i "sine=frequency=$((200 * album + 50 * track)):duration=1" -c:a aac \
      "$lib/Artist/Album $album/0$track Song.m4a" </dev/null
  done
done
first_run() { rm -rf "$out"; mkdir -p "$out"; "$cli" --keep-tree --skip-existing -o "$out" "$lib"; }
echo
echo "small library: 6 one-second tones in 2 albums, $runs runs each"
measure "first run" first_run
measure "run again (--skip-existing)" "$cli" --keep-tree --skip-existing -o "$out" "$lib"
echo "  again / first: $(ratio "run again (--skip-existing)" "first run")   (target < 0.2)"
ffmpeg -v error -f lavfi -i "sine=frequency=1000:duration=1" -c:a aac "$lib/Artist/Album 2/04 New.m4a" </dev/null
echo "  one file added:"
"$cli" --keep-tree --skip-existing -o "$out" "$lib" 2>&1 | grep -v '^skipped' | sed 's/^/    /'
echo "  outputs: $(find "$out" -name '*.mp3' | wc -l)"
