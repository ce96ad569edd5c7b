#!/usr/bin/env bash
# Runs fuzz targets under libFuzzer (clang, address + undefined), one after another, each for
# the given time, starting from its corpus in fuzz/corpus/ (new inputs go to a scratch copy).
# A crash leaves its input in tests/data/crashers/<target>/ for the corpus replay in CI.
# Usage: scripts/fuzz.sh SECONDS [TARGET...]   (no targets: every target)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
build=$here/build-fuzz
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DVT_BUILD_FUZZ=ON \
    -DVT_BUILD_TESTS=OFF -DVT_BUILD_BENCH=OFF >/dev/null
targets=("$@")
if ((${#targets[@]} == 0)); then
    mapfile -t targets < <(sed -n 's/^vt_add_fuzzer(\([a-z0-9_]*\).*/\1/p' \
        "$here/fuzz/CMakeLists.txt" "$here"/fuzz/*.cmake)
fi
cmake --build "$build" --target "${targets[@]}" >/dev/null
for t in "${targets[@]}"; do
    work=$(mktemp -d)
    cp -r "$here/fuzz/corpus/$t/." "$work/" 2>/dev/null || true
    crashes=$here/tests/data/crashers/$t
    mkdir -p "$crashes"
    echo "== $t for ${seconds}s"
    "$build/fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$crashes/" "$work" 2>&1 | grep -E '^(stat::number_of_executed_units|==|SUMMARY|Done)' || true
    rmdir "$crashes" 2>/dev/null || true
    rm -rf "$work"
done
