#!/usr/bin/env bash
# Installs what building, running and testing Quorvane needs on Debian 12.
# Quick when everything is present: it only asks dpkg.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-multimedia-dev libqt6multimedia6 libgl-dev
  ffmpeg lame libfftw3-dev libtag1-dev libebur128-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  # Not needed to play: the sinks and decoders a desktop has, so that the tests prove that
  # what a machine has installed does not decide them.
  gstreamer1.0-plugins-bad gstreamer1.0-libav
  fonts-liberation
  desktop-file-utils appstream dpkg-dev file man-db parallel bash-completion
)
# `install-deps.sh windows`: what the Windows cross build and its tests under wine need.
if [[ ${1:-} == windows ]]; then
  packages=(
    cmake ninja-build pkgconf zstd qt6-base-dev qt6-base-dev-tools qt6-shadertools-dev qt6-multimedia-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
    wine64 fonts-dejavu-core ffmpeg nsis
  )
fi
# The cluster test starts Slurm's daemons, which only root may; elsewhere it is skipped.
if [[ $(id -u) -eq 0 && ${1:-} != windows ]]; then
  packages+=(slurm-wlm munge)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  as_root=(sudo -n)
else
  echo "Please install these Debian packages first, then run make again:" >&2
  echo "  apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
