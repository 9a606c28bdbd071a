#!/usr/bin/env bash
# Builds the KCP engine fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for a bounded time on the committed
# seed corpus. Any finding fails. Exits 77 (skipped) when clang's libFuzzer is missing.
# Usage: run_fuzz.sh <source dir> <work dir> [seconds]
set -euo pipefail
src="$1"
out="$2"
seconds="${3:-30}"
cxx="${FUZZ_CXX:-$(command -v clang++ || true)}"
if [ -z "$cxx" ]; then
    echo "clang++ not found: fuzzing skipped"
    exit 77
fi
mkdir -p "$out/new"
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$out/probe.cpp"
if ! "$cxx" -fsanitize=fuzzer "$out/probe.cpp" -o "$out/probe" 2>/dev/null; then
    echo "libFuzzer runtime not available to $cxx: fuzzing skipped"
    exit 77
fi
"$cxx" -std=c++17 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$src/transport" "$src/tests/fuzz/kcp_fuzz.cpp" "$src/transport/kcp.cpp" -o "$out/kcp_fuzz"
# New inputs go to the scratch directory (listed first); the committed corpus is only read.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
"$out/kcp_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$out/" -print_final_stats=1 "$out/new" "$src/tests/fuzz/corpus"
