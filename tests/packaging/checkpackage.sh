#!/bin/sh
# What the desktop and the package manager get: "manual CLI PAGE METAINFO VERSION" or "deb BUILD_DIR".
set -eu
fail() { echo "FAIL: $*" >&2; exit 1; }

case "$1" in
manual)
    cli=$2 page=$3 metainfo=$4 version=$5
    # Every option that --help offers is described (roff writes "-" as "\-").
    for option in $("$cli" --help | grep -o -- '--[a-z-]*' | sort -u); do
        grep -qF -- "$(printf '%s' "$option" | sed 's/-/\\-/g')" "$page" || fail "$option is not in the manual page"
    done
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the manual page: $warnings"
    grep -q "<release version=\"$version\"" "$metainfo" || fail "no release $version in the metainfo"
    ;;
deb)
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    cpack -G DEB -B "$work" --config "$2/CPackConfig.cmake" >"$work/log" 2>&1 || { cat "$work/log"; fail cpack; }
    deb=$(ls "$work"/quorvane_*.deb)
    depends=", $(dpkg-deb -f "$deb" Depends),"
    for package in ffmpeg lame gstreamer1.0-plugins-base gstreamer1.0-plugins-good libtag1v5 \
                   libqt6core6 libqt6gui6 libqt6widgets6 libqt6multimedia6; do
        printf '%s' "$depends" | grep -qE ", $package[ ,]" || fail "Depends lacks $package: $depends"
    done
    dpkg-deb -x "$deb" "$work/root"
    for path in lib/quorvane/ffmpeg lib/quorvane/lame lib/quorvane/quorvane-toolkeeper share/applications/quorvane.desktop \
                share/man/man1/quorvane-cli.1.gz share/metainfo/com.harrowmede.quorvane.metainfo.xml \
                share/bash-completion/completions/quorvane-cli; do
        [ -L "$work/root/usr/$path" ] || [ -f "$work/root/usr/$path" ] || fail "the package lacks /usr/$path"
    done
    # As lintian wants it: a plain file readable by all, in the machine-readable format.
    copyright=$work/root/usr/share/doc/quorvane/copyright
    { [ -f "$copyright" ] && [ ! -L "$copyright" ]; } || fail "the package lacks /usr/share/doc/quorvane/copyright"
    [ "$(stat -c %a "$copyright")" = 644 ] || fail "the copyright file's mode is $(stat -c %a "$copyright")"
    head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
        fail "the copyright file is not in the machine-readable format"
    grep -qx 'License: GPL-3+' "$copyright" || fail "the copyright file does not state GPL-3+"
    "$work/root/usr/bin/quorvane-cli" --version | grep -q '^quorvane-cli ' || fail "the packaged quorvane-cli does not run"
    ;;
esac
