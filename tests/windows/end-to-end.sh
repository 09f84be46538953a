#!/usr/bin/env bash
# quorvane-cli.exe under wine with the Windows ffmpeg.exe and lame.exe beside it, end to end:
# a 3 s tagged tone with a cover converts in both modes with its tags, its cover and its
# length; Ctrl+C stops a conversion and leaves nothing behind; a tool dies with the program;
# every run ends soon after its summary; the installer installs a copy that converts, and its
# uninstaller leaves nothing of it.
#   end-to-end.sh QUORVANE-CLI.EXE WINE-RUN.SH FAKETOOL.EXE SETUP.EXE SETUP-FILES
# (SETUP-FILES: the program folder the installer was made from.)
# This machine's ffmpeg makes the source and reads the results.
set -euo pipefail
cli=$1 run=$2 faketool=$3 setup=$4 setup_files=$5
command -v ffprobe >/dev/null || { echo "skipped: no ffmpeg here to make and check the files"; exit 77; }
work=$(mktemp -d)
trap 'exec 3<&- 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
[[ -f $setup ]] || fail "no installer at $setup: the quorvane_setup target makes it"
# Z: is this machine's root inside wine.
win() { printf 'Z:%s' "$1" | tr / '\\'; }

ffmpeg -v error -f lavfi -i sine=frequency=440:duration=3 -f lavfi -i color=c=red:s=64x64:d=1 \
  -map 0:a -map 1:v -frames:v 1 -c:a aac -c:v png -disposition:v attached_pic \
  -metadata title=Tone -metadata artist="Ärtist" -metadata album=Album "$work/tone.m4a"

# Tags and cover as the source has them; 3 s of samples, give or take an MP3 frame.
check() {
  local tags samples
  tags=$(ffprobe -v error -show_entries format_tags=title,artist,album -of default=nw=1 "$2")
  for tag in title=Tone artist=Ärtist album=Album; do
    [[ $tags == *"TAG:$tag"* ]] || fail "$1: no $tag among: $tags"
  done
  [[ $(ffprobe -v error -select_streams v -show_entries stream=codec_name -of csv=p=0 "$2") == png ]] ||
    fail "$1: the cover is not there"
  samples=$(( $(ffmpeg -v error -i "$2" -map 0:a -ac 1 -f s16le - | wc -c) / 2 ))
  (( samples >= 132300 - 1152 && samples <= 132300 + 1152 )) || fail "$1: $samples samples, not 3 s"
}

for mode in two-steps single-pass; do
  mkdir "$work/$mode"
  options=(-o "$(win "$work/$mode")")
  [[ $mode == single-pass ]] && options+=(--single-pass)
  (cd "$work" && "$run" "$cli" "${options[@]}" tone.m4a) >"$work/$mode.out" 2>&1 ||
    fail "$mode: $(cat "$work/$mode.out")"
  check $mode "$work/$mode/tone.mp3"
done

# What the Windows ffmpeg.exe does beside the conversion: a book of music in ALAC, named in
# Cyrillic and CJK, with a 64 px JPEG cover and two chapters. A dry run lists it in UTF-8 when
# redirected; --split-chapters cuts it in two, each with the cover scaled under --cover-max;
# the spectrogram's raw float samples decode whole.
book="$work/Книга 日本.m4b"
printf ';FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=One\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Two\n' >"$work/meta.txt"
ffmpeg -v error -filter_complex "anoisesrc=c=pink:d=2:a=0.2[n];sine=f=330:d=2,volume=0.1[t];[n][t]amix=inputs=2:normalize=0,aformat=channel_layouts=stereo[a]" \
  -i "$work/meta.txt" -f lavfi -i color=c=blue:s=64x64:d=1 -map '[a]' -map 1:v -frames:v 1 -map_chapters 0 \
  -c:a alac -c:v mjpeg -disposition:v attached_pic "$book"
mkdir "$work/split"
"$run" "$cli" --dry-run --split-chapters -o "$(win "$work/split")" "$(win "$book")" >"$work/list.txt" 2>"$work/list.err" ||
  fail "dry run: $(cat "$work/list.err")"
grep -qF "$(win "$book") -> Книга 日本\01 One.mp3" "$work/list.txt" || fail "dry run: the name is not intact: $(cat "$work/list.txt")"
"$run" "$cli" --split-chapters --cover-max 32 -o "$(win "$work/split")" "$(win "$book")" >"$work/split.out" 2>&1 ||
  fail "--split-chapters: $(cat "$work/split.out")"
for chapter in "01 One" "02 Two"; do
  file="$work/split/Книга 日本/$chapter.mp3"
  [[ -f $file ]] || fail "--split-chapters: no $chapter.mp3 among: $(find "$work/split" -type f)"
  [[ $(ffprobe -v error -select_streams v -show_entries stream=codec_name,width -of csv=p=0 "$file") == mjpeg,32 ]] ||
    fail "--cover-max: the cover of $chapter is not scaled to 32 px"
done
floats=$("$run" "$(dirname "$cli")/ffmpeg.exe" -v error -i "$(win "$book")" -map 0:a:0 -ac 1 -ar 44100 -f f32le - | wc -c)
(( floats >= 4 * 88200 - 4 * 1152 && floats <= 4 * 88200 + 4 * 1152 )) || fail "raw float samples: $floats bytes, not 2 s"

# A program folder whose decoder is a stand-in that says through a FIFO when it holds, and
# whose end closes the FIFO: both moments are waited for, never timed.
app=$work/app
mkdir "$app" "$work/stopped"
cp "$cli" "$(dirname "$cli")/lame.exe" "$app/"
cp "$faketool" "$app/ffmpeg.exe"
mkfifo "$work/held"
temp="$WINEPREFIX/drive_c/users/$(id -un)/Temp"
leftovers() { find "$temp" -path '*/quorvane-*' -type f 2>/dev/null | sort; }
before=$(leftovers)

held_run() {
  QUORVANE_FAKETOOL_HOLD=$(win "$work/held") "$run" "$app/quorvane-cli.exe" \
    -o "$(win "$work/stopped")" "$(win "$work/tone.m4a")" >"$work/stop.out" 2>&1 &
  pid=$!
  exec 3<"$work/held"
  read -r _ <&3
}

# Ctrl+C reaches the console's handler (wine turns SIGINT into it): the batch is cancelled.
held_run
kill -INT $pid
status=0
wait $pid || status=$?
cat <&3 >/dev/null   # the decoder has ended
exec 3<&-
[[ $status == 130 ]] || fail "Ctrl+C: exit status $status: $(cat "$work/stop.out")"
grep -q '^cancelled  .*tone\.m4a' "$work/stop.out" || fail "Ctrl+C: status $status: $(cat "$work/stop.out")"
[[ -z $(ls -A "$work/stopped") ]] || fail "Ctrl+C: left in the output folder: $(ls -A "$work/stopped")"
[[ $(leftovers) == "$before" ]] || fail "Ctrl+C: left in the temporary folder: $(leftovers)"

# Killed outright, the program takes its tools with it: the decoder's end closes the FIFO.
held_run
kill -KILL $pid
wait $pid || true
cat <&3 >/dev/null
exec 3<&-

# Every run ends within a few seconds of printing its summary: a program that hangs in its exit
# fails here, not at ctest's limit. Runs of three files at -j 2; the summary is read as it
# comes, through a FIFO, and only the exit after it is timed.
exit_bound=10
many=$work/many
mkdir "$many"
for name in one two three; do cp "$work/tone.m4a" "$many/$name.m4a"; done
mkfifo "$many/lines"
exec 4<>"$many/lines"   # read-write: opening it never waits for the other side
exits_after_summary() { # LABEL ROUNDS CLI: output in $many/LABEL1, LABEL2...
  local label=$1 rounds=$2 program=$3 round pid summary line status
  for round in $(seq 1 "$rounds"); do
    mkdir "$many/$label$round"
    "$run" "$program" -j 2 -o "$(win "$many/$label$round")" \
      "$(win "$many/one.m4a")" "$(win "$many/two.m4a")" "$(win "$many/three.m4a")" >"$many/lines" 2>&1 &
    pid=$!
    summary=
    while [[ -z $summary ]] && IFS= read -r -t 300 line <&4; do
      [[ $line == *"file(s) converted"* ]] && summary=$line
    done
    [[ -n $summary ]] || fail "$label run $round printed no summary"
    timeout "$exit_bound" tail --pid=$pid -f /dev/null ||
      { kill -KILL $pid; fail "$label run $round did not end within ${exit_bound} s of its summary: $summary"; }
    status=0
    wait $pid || status=$?
    [[ $status == 0 && $summary == "3 of 3 file(s) converted"* ]] || fail "$label run $round: status $status: $summary"
  done
}
exits_after_summary built 10 "$cli"

# The installer, silent (/S), twice as an update in place does, for a user without administrator
# rights: the program folder under the user's own programs folder, the Start-menu shortcut, the
# uninstaller's entry and "Open with" for .m4a and .m4b. The installed copy converts with only
# its own libraries (wine-run.sh adds the toolchain's to no program that has them beside it).
profile=$WINEPREFIX/drive_c/users/$(id -un)
installed=$profile/AppData/Local/Programs/Quorvane
shortcut="$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Quorvane.lnk"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvane'
classes() { "$run" reg query 'HKCU\Software\Classes' /s 2>&1 | tr -d '\r'; }
for round in 1 2; do "$run" "$setup" /S || fail "install $round: the installer failed"; done
[[ $(cd "$installed" && find . ! -name Uninstall.exe | sort) == "$(cd "$setup_files" && find . | sort)" && -f $installed/Uninstall.exe ]] ||
  fail "installed: $(cd "$installed" && find . | sort)"
[[ -f $shortcut ]] || fail "no Start-menu shortcut"
"$run" reg query "$uninstall_key" /v QuietUninstallString >/dev/null || fail "no uninstaller entry"
classes=$(classes)
for entry in 'Applications\quorvane.exe\shell\open\command' 'Harrowmede.Quorvane.Audio\shell\open\command' \
             '.m4a\OpenWithList\quorvane.exe' '.m4b\OpenWithList\quorvane.exe'; do
  grep -qxF "HKEY_CURRENT_USER\\Software\\Classes\\$entry" <<<"$classes" || fail "no $entry among: $classes"
done
[[ $(grep -c '^ *Harrowmede.Quorvane.Audio  *REG_SZ' <<<"$classes") == 2 ]] || fail "not in both OpenWithProgids: $classes"
grep -qF 'Quorvane\quorvane.exe" "%1"' <<<"$classes" || fail "no open command for the installed program: $classes"
exits_after_summary installed 3 "$installed/quorvane-cli.exe"
check installed "$many/installed1/one.mp3"
exec 4<&-

# The uninstaller, silent: it goes on in a copy of itself and returns at once, so its end is the
# end of the last program in the wine folder (the test runs alone in it), which wineserver awaits.
"$run" "$installed/Uninstall.exe" /S || fail "the uninstaller failed"
"$(dirname "${QUORVANE_WINE:-/usr/lib/wine/wine64}")/wineserver" -w
[[ ! -e $installed ]] || fail "left after uninstalling: $(cd "$installed" && find . | sort)"
[[ ! -e $shortcut ]] || fail "the Start-menu shortcut is left"
! "$run" reg query "$uninstall_key" >/dev/null 2>&1 || fail "the uninstaller entry is left"
# No other program of the wine folder lists .m4a or .m4b: their keys go with Quorvane's entries.
classes=$(classes)
! grep -qiE 'quorvane|\\\.m4[ab]$' <<<"$classes" || fail "left in HKCU\Software\Classes: $classes"
