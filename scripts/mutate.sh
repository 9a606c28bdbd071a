#!/usr/bin/env bash
# Fault-catching check: puts each fault of a list (default scripts/mutations.txt)
# into the product code, one at a time, rebuilds and runs the test suite, and
# tells which test caught it first, or that none did. The tree is restored
# after every fault and on any exit.
# Usage: scripts/mutate.sh [list-file] [id...]   (ids: only those faults)
set -uo pipefail
shopt -u patsub_replacement 2>/dev/null
cd "$(dirname "$0")/.."
list="${1:-scripts/mutations.txt}"
shift $(($# > 0 ? 1 : 0))
build=build-mut
ids=() files=() finds=() replaces=() id=

# One block per fault; "\n" in find/replace stands for a newline.
add() { [ -n "${id:-}" ] && { ids+=("$id"); files+=("$file"); finds+=("${find//\\n/$'\n'}"); replaces+=("${replace//\\n/$'\n'}"); }; id=; }
while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
    id:*) add; id="${line#id: }" file= find= replace= ;;
    file:*) file="${line#file: }" ;;
    find:*) find="${line#find: }" ;;
    replace:*) replace="${line#replace:}"; replace="${replace# }" ;;
    esac
done <"$list"
add

# Every entry must still apply: its text exactly once in its file.
stale=0
for i in "${!ids[@]}"; do
    content="$(cat "${files[$i]}" 2>/dev/null)"; rest="${content#*"${finds[$i]}"}"
    if [ ! -f "${files[$i]}" ] || [ "$rest" = "$content" ] || [[ "$rest" == *"${finds[$i]}"* ]]; then
        echo "STALE: ${ids[$i]} (${files[$i]}): find text is not there exactly once"; stale=1
    fi
done
[ "$stale" = 0 ] || exit 2
git diff --quiet -- app sessions dialogs transport serial || { echo "product code has local changes"; exit 2; }

export XDG_CONFIG_HOME; XDG_CONFIG_HOME="$(mktemp -d)"
backup="$(mktemp)" current=
restore() { [ -n "$current" ] && cp "$backup" "$current"; current=; }
trap 'restore; rm -rf "$XDG_CONFIG_HOME" "$backup"' EXIT
trap 'exit 130' INT TERM

run_tests() {  # $1: extra ctest arguments; prints the first failed test, if any
    ctest --test-dir "$build" --stop-on-failure -j2 --timeout 120 $1 >"$build/mutation-ctest.log" 2>&1 && return 0
    grep -m1 -E 'Test +#[0-9]+: .*(\*\*\*|Failed)' "$build/mutation-ctest.log" |
        sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/'
    return 1
}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAROVENT_BENCH=OFF >/dev/null || exit 1
start=$(date +%s)
echo "== unmutated build and suite"
cmake --build "$build" -j2 >"$build/mutation-build.log" 2>&1 || { echo "unmutated build fails"; exit 1; }
failed="$(run_tests "")" || { echo "unmutated suite fails (first: $failed)"; exit 1; }

results="$build/mutation-results.txt"
printf '%-32s %s\n' "fault" "caught by" >"$results"
for i in "${!ids[@]}"; do
    if [ $# -gt 0 ] && [[ " $* " != *" ${ids[$i]} "* ]]; then continue; fi
    f="${files[$i]}"
    cp "$f" "$backup"; current="$f"
    content="$(cat "$f")"; printf '%s\n' "${content/"${finds[$i]}"/"${replaces[$i]}"}" >"$f"
    # The libFuzzer run is slow: only faults in the KCP sources need it.
    extra="-E ^kcp_fuzz$"; [[ "$f" == transport/kcp*.cpp ]] && extra=""
    t0=$(date +%s)
    if ! cmake --build "$build" -j2 >"$build/mutation-build.log" 2>&1; then
        verdict="NOT BUILT"
    elif failed="$(run_tests "$extra")"; then
        verdict="MISSED"
    else
        verdict="${failed:-(failed, name unknown)}"
    fi
    restore
    printf '%-32s %s\n' "${ids[$i]}" "$verdict" | tee -a "$results"
    echo "   (${f}, $(($(date +%s) - t0)) s)"
done
cmake --build "$build" -j2 >/dev/null 2>&1  # leave the build matching the tree
git diff --quiet -- app sessions dialogs transport serial || { echo "TREE NOT RESTORED"; exit 1; }
echo "== $(grep -c MISSED "$results") missed, $(grep -c 'NOT BUILT' "$results") not built; $(($(date +%s) - start)) s"
echo "table: $results"
