#!/usr/bin/env bash
# Runs fuzz targets under libFuzzer (clang, address + undefined), each for the given time,
# starting from its corpus in fuzz/corpus/ (new inputs go to a scratch copy, so the corpus in the
# repository stays small). A crash leaves its input in tests/data/crashers/<target>/ for the
# corpus replay in CI. At the end a table gives each target's executions and outcome.
# Usage: scripts/fuzz.sh SECONDS [TARGET...]   (no targets: every target)
# Environment: VT_FUZZ_JOBS  targets run at once (default 1; each is one process)
#              VT_FUZZ_BUILD the clang build folder (default build-fuzz; configured if missing)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
build=${VT_FUZZ_BUILD:-$here/build-fuzz}
jobs=${VT_FUZZ_JOBS:-1}
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DVT_BUILD_FUZZ=ON \
        -DVT_BUILD_TESTS=OFF -DVT_BUILD_BENCH=OFF -DVT_BUILD_APP=OFF >/dev/null
fi
targets=("$@")
if ((${#targets[@]} == 0)); then
    mapfile -t targets < <(ninja -C "$build" -t targets all | sed -n 's/^fuzz\/\([a-z0-9_]*_fuzz\): .*/\1/p')
fi
cmake --build "$build" --target "${targets[@]}" >/dev/null
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

run_one() {
    local t=$1 work crashes
    work=$(mktemp -d)
    cp -r "$here/fuzz/corpus/$t/." "$work/" 2>/dev/null || true
    crashes=$here/tests/data/crashers/$t
    mkdir -p "$crashes"
    local status=clean
    "$build/fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$crashes/" "$work" >"$logs/$t.log" 2>&1 || status=FAILED
    rmdir "$crashes" 2>/dev/null || true
    rm -rf "$work"
    local execs
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$t.log" | tail -n 1)
    printf '%-32s %8ss %12s  %s\n' "$t" "$seconds" "${execs:-?}" "$status" >"$logs/$t.row"
    if [[ $status != clean ]]; then grep -E '^(==|SUMMARY)' "$logs/$t.log" | head -n 5 >&2; fi
}

running=0
for t in "${targets[@]}"; do
    echo "== $t for ${seconds}s"
    run_one "$t" &
    running=$((running + 1))
    if ((running >= jobs)); then
        wait -n || true
        running=$((running - 1))
    fi
done
wait
printf '%-32s %9s %12s  %s\n' target time executions outcome
cat "$logs"/*.row
! grep -q FAILED "$logs"/*.row
