#!/usr/bin/env bash
# Installs into a temporary prefix, checks that each installed file is in place and
# passes its validator, and that the program answers --version and --help and
# refuses to start without a display, writing no settings.
# Usage: install_test.sh <cmake> <build dir> <version>
set -euo pipefail
cmake="$1"
build="$2"
version="$3"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$tmp/usr" >/dev/null
cd "$tmp/usr"
desktop=share/applications/marovent.desktop
metainfo=share/metainfo/org.kestrum.marovent.metainfo.xml
page=share/man/man1/marovent.1
for f in bin/marovent "$desktop" "$metainfo" "$page" share/icons/hicolor/scalable/apps/marovent.svg; do
    [ -s "$f" ] || fail "$f is not installed"
done
# A PNG's header holds its width and height: they must match the folder's size.
for size in 48 64 128 256; do
    png="share/icons/hicolor/${size}x${size}/apps/marovent.png"
    [ -s "$png" ] || fail "$png is not installed"
    [ "$(od -An -tx1 -j16 -N8 "$png" | tr -d ' \n')" = "$(printf '%08x%08x' "$size" "$size")" ] ||
        fail "$png is not $size pixels"
done

# The menu entry runs the installed program, shows the installed icon and
# matches the window's WM_CLASS (Qt derives it from the program's name).
out="$(desktop-file-validate "$desktop")" || fail "desktop-file-validate: $out"
! grep -E 'error|warning' <<<"$out" || fail "desktop-file-validate complains"
grep -qx 'Exec=marovent' "$desktop" && grep -qx 'Exec=marovent -kcp' "$desktop" || fail "Exec lines"
grep -qx 'Icon=marovent' "$desktop" && grep -qx 'StartupWMClass=marovent' "$desktop" || fail "Icon or StartupWMClass"

out="$(appstreamcli validate --no-net "$metainfo" 2>&1)" || fail "appstreamcli: $out"
grep -q '<launchable type="desktop-id">marovent.desktop</launchable>' "$metainfo" || fail "launchable"
grep -q "<release version=\"$version\" date=\"[0-9-]*\"/>" "$metainfo" || fail "release entry"

out="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
[ -z "$out" ] || fail "man page: $out"
grep -q "^\.TH MAROVENT 1 \"[0-9-]*\" \"marovent $version\"" "$page" || fail "man page version"

# The answers come before Qt starts, so none of them opens the settings.
export XDG_CONFIG_HOME="$tmp/config"
[ "$(bin/marovent --version)" = "marovent $version" ] || fail "--version"
out="$(bin/marovent foo --help -kcp)"
grep -q -- '-kcp' <<<"$out" && grep -q -- '--version' <<<"$out" || fail "--help: $out"
if env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM bin/marovent -kcp 2>"$tmp/err"; then
    fail "started without a display"
fi
[ "$(wc -l <"$tmp/err")" -eq 1 ] && grep -q 'xvfb-run' "$tmp/err" && grep -q 'QT_QPA_PLATFORM=offscreen' "$tmp/err" ||
    fail "no-display message: $(cat "$tmp/err")"
[ ! -e "$XDG_CONFIG_HOME" ] || fail "settings written: $(find "$XDG_CONFIG_HOME")"
echo "install: all checks passed"
