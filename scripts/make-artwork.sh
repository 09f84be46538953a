#!/usr/bin/env bash
# Remakes the program's icon (a PNG, and the Windows programs' .ico made from it) and splash
# picture with ImageMagick. The results are committed: building needs none of this.
# Usage: scripts/make-artwork.sh   (from the project's top folder)
set -euo pipefail
font=/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf
regular=/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Sound bars: heights of a little waveform, drawn as rounded white rectangles.
bars() { # width height x0 barwidth gap heights...
  local h=$2 x=$3 bw=$4 gap=$5; shift 5
  local draw=""
  for v in "$@"; do
    local top=$(( (h - v) / 2 )) bottom=$(( (h + v) / 2 ))
    draw+="roundrectangle $x,$top $((x + bw)),$bottom $((bw / 2)),$((bw / 2)) "
    x=$((x + bw + gap))
  done
  echo "$draw"
}

# Icon, 256 x 256.
convert -size 256x256 -define gradient:angle=135 gradient:'#1d9a8a'-'#23306b' "$work/bg.png"
convert -size 256x256 xc:none -fill white -draw "roundrectangle 8,8 247,247 52,52" "$work/mask.png"
convert "$work/bg.png" "$work/mask.png" -alpha off -compose CopyOpacity -composite "$work/icon.png"
convert "$work/icon.png" -fill white -draw "$(bars 256 256 44 14 10 40 86 132 176 118 70 150 96)" \
  src/app/resources/quorvane.png
# The .ico carries the sizes Windows picks for lists, title bars, the taskbar and large tiles.
# 8 bits a channel, as Windows reads them, and no dates: the same bytes on every run.
convert src/app/resources/quorvane.png -depth 8 -define png:exclude-chunks=date,time \
  -define icon:auto-resize=256,48,32,16 src/app/resources/quorvane.ico

# Splash, 480 x 300.
convert -size 300x480 gradient:'#1d9a8a'-'#1b2456' -rotate 90 "$work/splash.png"
convert "$work/splash.png" -fill 'rgba(255,255,255,0.16)' \
  -draw "$(bars 300 300 24 10 8 30 60 100 150 90 50 120 170 110 70 40 90 140 180 120 80 50 100 60 30 70 110 150 100 60 40 80 110 70 40 20)" \
  "$work/splash2.png"
convert "$work/splash2.png" \
  -fill white -font "$font" -pointsize 56 -gravity center -annotate +0-28 'Quorvane' \
  -fill '#d8f3ee' -font "$regular" -pointsize 18 -annotate +0+26 'M4A to MP3, at the bitrate you choose' \
  -fill '#a9c9d6' -pointsize 12 -gravity south -annotate +0+14 'Harrowmede' \
  data/Splash/quorvane-splash.png
echo "written: src/app/resources/quorvane.png src/app/resources/quorvane.ico data/Splash/quorvane-splash.png"
