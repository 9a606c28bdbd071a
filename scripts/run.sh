#!/usr/bin/env bash
# Sets up, builds and starts the program; arguments are passed through (e.g. -kcp).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target marovent -j"$(nproc)"
exec build/app/marovent "$@"
