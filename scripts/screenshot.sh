#!/usr/bin/env bash
# Renders docs/screenshot.png and docs/screenshot-tools.png, the README
# pictures, on Qt's offscreen platform with settings in a temporary folder
# (never the user's own).
# Usage: scripts/screenshot.sh [OUTPUT.png [TOOLS.png]]
set -euo pipefail
cd "$(dirname "$0")/.."
out="$(realpath -m "${1:-docs/screenshot.png}")"
tools="$(realpath -m "${2:-docs/screenshot-tools.png}")"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target screenshot -j"$(nproc)"
XDG_CONFIG_HOME="$(mktemp -d)"
export XDG_CONFIG_HOME
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT
LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen build/scripts/screenshot "$out" "$tools"
echo "wrote $out and $tools"
