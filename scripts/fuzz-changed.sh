#!/usr/bin/env bash
# Fuzzes, for longer than CI can, the targets whose code changed since a revision: CI gives each
# target seconds, enough to stumble on a finding now and then, so run this before submitting.
# Usage: scripts/fuzz-changed.sh [REV] [SECONDS]   (defaults: HEAD~1, 120)
# A target counts as changed when a source or header it is compiled from differs from REV, or
# its corpus or crasher inputs do. Findings are kept under build-fuzz/findings/TARGET
# (scripts/fuzz-run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:-HEAD~1}
seconds=${2:-120}
fuzz=build-fuzz

if [[ ! -f $fuzz/build.ninja ]]; then
    CC=clang CXX=clang++ cmake -S . -B $fuzz -G Ninja -DVT_BUILD_FUZZ=ON -DVT_BUILD_TESTS=OFF \
        -DVT_BUILD_BENCH=OFF -DVT_BUILD_APP=OFF >/dev/null
fi
mapfile -t targets < <(ninja -C $fuzz -t targets all | sed -n 's/^fuzz\/\([a-z0-9_]*_fuzz\): .*/\1/p')
mapfile -t changed < <(git diff --name-only "$rev" --)
if [[ ${#changed[@]} -eq 0 ]]; then
    echo "nothing changed since $rev"
    exit 0
fi

# Repository paths a target is built from: its sources and every header they include.
built_from() {
    local objects
    mapfile -t objects < <(ninja -C $fuzz -t inputs "fuzz/$1" | grep '\.o$')
    ninja -C $fuzz -t deps "${objects[@]}" | sed -n 's/^ *\.\.\///p' | sort -u
}

picked=()
for t in "${targets[@]}"; do
    if printf '%s\n' "${changed[@]}" | grep -q -e "^fuzz/corpus/$t/" -e "^tests/data/crashers/$t/" ||
        comm -12 <(built_from "$t") <(printf '%s\n' "${changed[@]}" | sort -u) | grep -q .; then
        picked+=("$t")
    fi
done
if [[ ${#picked[@]} -eq 0 ]]; then
    echo "no fuzz target is built from what changed since $rev"
    exit 0
fi
echo "fuzzing ${#picked[@]} targets for $seconds s each: ${picked[*]}"
cmake --build $fuzz -j "$(nproc)" --target "${picked[@]}" >/dev/null

bash scripts/fuzz-run.sh "$seconds" "${picked[@]}"
