#!/usr/bin/env bash
# Sets up, builds the program and packs it as a Debian package in build/.
# Install it with: sudo apt install ./build/marovent_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# cpack installs through the preinstall target, which would otherwise build every test first.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build build --target marovent -j"$(nproc)"
rm -f build/marovent_*.deb
(cd build && cpack -G DEB)
