#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need, when missing.
set -euo pipefail

pkgs=(build-essential cmake pkg-config qtbase5-dev libqt5serialport5-dev libuv1-dev
      googletest libgtest-dev clang libclang-rt-14-dev
      socat xvfb xauth fonts-wqy-microhei iproute2 util-linux python3
      desktop-file-utils appstream man-db dpkg-dev file)

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
