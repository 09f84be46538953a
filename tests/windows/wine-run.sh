#!/bin/sh
# Runs a program of the Windows build under wine: the tests through ctest, and the end-to-end
# script. The Qt, TagLib and MinGW libraries are found where they lie (QUORVANE_WINCROSS, the
# unpacked toolchain), in a wine folder of the build's own (WINEPREFIX).
set -eu
wine=${QUORVANE_WINE:-/usr/lib/wine/wine64}
: "${QUORVANE_WINCROSS:?names the unpacked Windows toolchain}"
: "${WINEPREFIX:?names the build's wine folder}"
export WINEPREFIX
export WINEDEBUG=-all
# No media framework, as on a machine without one: wine's own plays through the
# host's GStreamer, whose threads can hold a program's exit. No menu builder: what the
# installer puts in the Start menu and the file classes stays in the wine folder, out of this
# machine's desktop.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-winegstreamer=d;winemenubuilder.exe=d}"

# Z: is the root of this machine's file system inside wine.
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
# A program with its libraries beside it (the installed copy) gets none of these: one it lacks
# fails as it would on a user's machine.
if [ ! -f "$(dirname "$1")/Qt6Core.dll" ]; then
    runtime=/usr/lib/gcc/x86_64-w64-mingw32/12-posix
    WINEPATH="$(windows_path "$QUORVANE_WINCROSS/qt-mingw/bin");$(windows_path "$QUORVANE_WINCROSS/prefix/bin")"
    WINEPATH="$WINEPATH;$(windows_path /usr/x86_64-w64-mingw32/lib);$(windows_path "$runtime")"
    export WINEPATH
fi
# Wine passes no QT_ variable on, but passes WINEQT_X on as QT_X.
if [ -n "${QT_QPA_PLATFORM:-}" ]; then
    export WINEQT_QPA_PLATFORM="$QT_QPA_PLATFORM"
    export WINEQT_QPA_FONTDIR="$(windows_path /usr/share/fonts/truetype/dejavu)"
fi
# A QtTest program's report reaches no Unix terminal from wine: it is written to the file the
# test names with "-o FILE,txt" and shown from there.
log=
previous=
for argument in "$@"; do
    case "$previous/$argument" in -o/*,txt) log=${argument%,txt} ;; esac
    previous=$argument
done
[ -n "$log" ] || exec "$wine" "$@"
rm -f "$log"
status=0
"$wine" "$@" || status=$?
[ -f "$log" ] && cat "$log"
exit "$status"
