#!/usr/bin/env bash
# Remakes the sample files that "Load Sample/Example Files" puts in the list
# (data/Samples). Everything is generated here: tones with ffmpeg's audio
# expression source, speech with espeak-ng. Neither tool is needed to build or run
# Quorvane; they are needed only to remake the samples.
#
#   scripts/make-samples.sh            writes data/Samples/*.m4a
#
# The files are short AAC in .m4a (44.1 kHz stereo, 64-96 kbps) with title and
# artist tags, small enough to keep in the repository.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$repo/data/Samples"
artist="Quorvane Samples"

for tool in ffmpeg espeak-ng; do
    command -v "$tool" >/dev/null || { echo "make-samples: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# Turns note lines "start seconds, MIDI note, amplitude, pan -1..1, decay per second,
# timbre" into an aevalsrc expression for two channels. Timbre "bell" adds the
# inharmonic partials of a struck bell; "pluck" adds a soft octave. Each note starts
# with a few milliseconds of attack so it does not click.
notes_to_expression() {
    awk '
    function term(start, f, amp, decay, timbre,    d, body) {
        d = sprintf("(t-%.4f)", start)
        if (timbre == "bell")
            body = sprintf("(sin(2*PI*%.3f*%s)+0.45*exp(-2*%s)*sin(2*PI*%.3f*%s)+0.25*exp(-5*%s)*sin(2*PI*%.3f*%s))", f, d, d, 2 * f, d, d, 2.76 * f, d)
        else
            body = sprintf("(sin(2*PI*%.3f*%s)+0.3*exp(-3*%s)*sin(2*PI*%.3f*%s))", f, d, d, 2 * f, d)
        return sprintf("gt(t,%.4f)*min(1,%s*300)*exp(-%.2f*%s)*%s", start, d, decay, d, body)
    }
    NF >= 6 && $1 !~ /^#/ {
        f = 440 * 2 ^ (($2 - 69) / 12)
        t = term($1, f, 1, $5, $6)
        left = left (left == "" ? "" : "+") sprintf("%.3f*", $3 * (1 - 0.6 * $4)) t
        right = right (right == "" ? "" : "+") sprintf("%.3f*", $3 * (1 + 0.6 * $4)) t
    }
    END { printf "%s|%s", left, right }
    '
}

# Renders note lines (stdin) to a WAV file of the given length with a fade-out.
render_notes() {
    local wav=$1 seconds=$2 expression
    expression=$(notes_to_expression)
    ffmpeg -v error -y -f lavfi \
        -i "aevalsrc=exprs='$expression':sample_rate=44100:duration=$seconds" \
        -af "afade=t=out:st=$(awk -v s="$seconds" 'BEGIN { print s - 1.2 }'):d=1.2" \
        -c:a pcm_s16le "$wav"
}

# Encodes a WAV into a tagged .m4a. Bit-exact flags keep ffmpeg's version out of the
# file, so remaking the samples with the same tools gives the same bytes.
encode() {
    local wav=$1 title=$2 bitrate=$3
    ffmpeg -v error -y -fflags +bitexact -i "$wav" \
        -map_metadata -1 -ac 2 -ar 44100 -c:a aac -b:a "$bitrate" -flags:a +bitexact \
        -metadata title="$title" -metadata artist="$artist" -metadata album="$artist" \
        -metadata comment="Generated for Quorvane with ffmpeg and espeak-ng" \
        "$out/$title.m4a"
}

# A descending chime, then a major chord that rings out.
#  start note amp  pan  decay timbre
render_notes "$work/chime.wav" 6.5 <<'EOF'
0.00  79  0.20 -0.6 1.6 bell
0.55  76  0.20 -0.2 1.6 bell
1.10  72  0.20  0.2 1.6 bell
1.65  74  0.20  0.6 1.6 bell
2.40  67  0.22  0.0 1.1 bell
3.60  72  0.12 -0.5 0.8 bell
3.62  76  0.11  0.0 0.8 bell
3.64  79  0.11  0.5 0.8 bell
3.66  60  0.13  0.0 0.7 bell
EOF
encode "$work/chime.wav" "Morning Chime" 80k

# A little waltz in C: bass on the first beat, a chord on the second and third,
# a three-note phrase in every bar.
beat=0.42
{
    bar=0
    # melody of each bar, then its bass note and its two chord notes
    while read -r m1 m2 m3 bass c1 c2; do
        s=$(awk -v b="$bar" -v d="$beat" 'BEGIN { printf "%.3f", b * 3 * d }')
        awk -v s="$s" -v d="$beat" -v m1="$m1" -v m2="$m2" -v m3="$m3" \
            -v bass="$bass" -v c1="$c1" -v c2="$c2" 'BEGIN {
            printf "%.3f %s 0.26 0.3 2.6 pluck\n", s, m1
            if (m2 != "-") printf "%.3f %s 0.24 0.3 2.6 pluck\n", s + d, m2
            if (m3 != "-") printf "%.3f %s 0.24 0.3 2.6 pluck\n", s + 2 * d, m3
            printf "%.3f %s 0.30 -0.3 2.0 pluck\n", s, bass
            for (k = 1; k <= 2; k++) {
                printf "%.3f %s 0.10 -0.5 5.0 pluck\n", s + k * d, c1
                printf "%.3f %s 0.10 -0.5 5.0 pluck\n", s + k * d, c2
            }
        }'
        bar=$((bar + 1))
    done <<'EOF'
76 79 76 48 64 67
74 77 74 43 65 71
72 76 79 48 64 67
81 79 77 41 69 72
76 74 71 43 62 67
72 - - 48 64 67
EOF
} | render_notes "$work/waltz.wav" 8.0
encode "$work/waltz.wav" "Three Note Waltz" 80k

# A spoken greeting after a two-note ding.
render_notes "$work/ding.wav" 1.6 <<'EOF'
0.00 84 0.22 -0.3 2.2 bell
0.25 79 0.22  0.3 2.2 bell
EOF
espeak-ng -v en-us -s 150 -a 120 -w "$work/speech.wav" \
    "Welcome to Quorvane. This is a short spoken sample, ready to become an MP3 file."
ffmpeg -v error -y -i "$work/ding.wav" -i "$work/speech.wav" -filter_complex \
    "[1:a]aresample=44100,pan=stereo|c0=c0|c1=c0,volume=0.9,adelay=900|900[voice];[0:a][voice]amix=inputs=2:duration=longest:normalize=0,apad=pad_dur=0.4" \
    -c:a pcm_s16le "$work/welcome.wav"
encode "$work/welcome.wav" "Spoken Welcome" 64k

# Soft rain: filtered pink noise that swells and settles, with a slow pentatonic line.
render_notes "$work/line.wav" 7.0 <<'EOF'
0.80 69 0.22 -0.4 0.9 pluck
1.90 72 0.22  0.0 0.9 pluck
3.00 74 0.22  0.4 0.9 pluck
4.10 76 0.22  0.0 0.9 pluck
4.90 69 0.20 -0.4 0.7 pluck
EOF
ffmpeg -v error -y -i "$work/line.wav" -f lavfi \
    -i "anoisesrc=color=pink:amplitude=0.45:seed=7:sample_rate=44100:duration=7" -filter_complex \
    "[1:a]highpass=f=300,lowpass=f=2500,aeval=exprs='val(0)*(0.55+0.45*sin(2*PI*t/7))',pan=stereo|c0=c0|c1=c0,aecho=0.8:0.7:37|53:0.3|0.25,afade=t=in:d=1.0,afade=t=out:st=5.5:d=1.5[rain];[0:a][rain]amix=inputs=2:duration=first:normalize=0" \
    -c:a pcm_s16le "$work/rain.wav"
encode "$work/rain.wav" "Soft Rain Interlude" 64k

ls -l "$out"
