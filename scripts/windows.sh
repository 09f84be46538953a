#!/usr/bin/env bash
# `make windows` and `make test-windows`: the Windows programs cross-built with MinGW-w64 against
# the Windows toolchain archive, zipped as a user gets them, and their tests run under wine.
#   scripts/windows.sh build|test BUILD_DIR JOBS
# The archive (WINDOWS_TOOLCHAIN, by default ../shared/windows/toolchain.tar.zst beside the
# project) is unpacked into the build folder, never into the system.
set -euo pipefail
cd "$(dirname "$0")/.."
what=$1 build=$2 jobs=$3
archive=${WINDOWS_TOOLCHAIN:-../shared/windows/toolchain.tar.zst}
wine=${QUORVANE_WINE:-/usr/lib/wine/wine64}

if [[ ! -f $archive ]]; then
  if [[ $what == test ]]; then
    echo "Windows tests skipped: no Windows toolchain at $archive (set WINDOWS_TOOLCHAIN)"
    exit 0
  fi
  echo "No Windows toolchain at $archive: put toolchain.tar.zst there or set WINDOWS_TOOLCHAIN." >&2
  exit 1
fi
scripts/install-deps.sh windows
if [[ $what == test && ! -x $wine ]]; then
  echo "Windows tests skipped: wine64 is not installed ($wine)"
  exit 0
fi

# Unpacked again only when the archive is newer than the copy.
wincross=$build/wincross
if [[ ! -f $wincross/.unpacked || $archive -nt $wincross/.unpacked ]]; then
  rm -rf "$wincross"
  mkdir -p "$wincross"
  tar --zstd -xf "$archive" -C "$wincross"
  touch "$wincross/.unpacked"
fi
wincross=$(cd "$wincross" && pwd)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DQUORVANE_WINCROSS="$wincross" >/dev/null
if [[ $what == build ]]; then
  cmake --build "$build" -j "$jobs" --target quorvane quorvane-cli quorvane_data quorvane_setup
  (cd "$build" && cpack -G ZIP >/dev/null)
  echo "Made $(ls "$build"/quorvane-*-windows-x64.zip) and $(ls "$build"/quorvane-*-setup.exe)"
  exit 0
fi

# Everything, the installer included: the end-to-end test installs it.
cmake --build "$build" -j "$jobs"
cmake --build "$build" -j "$jobs" --target quorvane_setup
# The wine folder is made once, before the tests start side by side in it.
export WINEPREFIX=$PWD/$build/wineprefix WINEDEBUG=-all
[[ -f $WINEPREFIX/system.reg ]] || "$wine" wineboot --init >/dev/null 2>&1
cd "$build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs" -L windows
