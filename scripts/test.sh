#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite twice: a plain build, then one
# under AddressSanitizer and UndefinedBehaviorSanitizer. Fails on any failure or report.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs="$(nproc)"

echo "== plain build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300)

echo "== sanitizer build (address, undefined)"
cmake -S . -B build-san -DCMAKE_BUILD_TYPE=Debug -DMAROVENT_SANITIZE=ON -DMAROVENT_BENCH=OFF >/dev/null
cmake --build build-san -j"$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
(cd build-san && ctest --output-on-failure -j"$jobs" --timeout 600)
