#!/usr/bin/env bash
# Runs fuzz targets of build-fuzz for SECONDS each, one per processor at a time, on copies of
# their corpora (the checkout stays as it is), with CI's limits. A target that finds something
# prints its log and keeps the input in build-fuzz/findings/TARGET; the script then fails.
# Usage: scripts/fuzz-run.sh SECONDS TARGET...
set -euo pipefail
cd "$(dirname "$0")/.."
export seconds=$1
shift
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/fuzz/lsan.supp}"
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
# One allocation over 1 GB is a finding; the process as a whole may grow to 2 GB, since ASan's
# quarantine and the heavier decoders' caches (HEIF, JPEG 2000) add up over a run.
printf '%s\n' "$@" | xargs -P "$(nproc)" -I{} bash -c '
    name=$1 work=$(mktemp -d) found=build-fuzz/findings/$1
    cp -r fuzz/corpus/"$name"/. "$work"/ 2>/dev/null || true
    mkdir -p "$found"
    if build-fuzz/fuzz/"$name" -max_total_time="$seconds" -malloc_limit_mb=1024 \
        -rss_limit_mb=2048 -artifact_prefix="$found/" "$work" >"$found/log" 2>&1; then
        echo "$name: $(grep -E "^Done [0-9]+ runs" "$found/log" | tail -n 1)"
        rm -rf "$found"
    else
        cat "$found/log"
        echo "$name: FOUND, see $found"
    fi
    rm -rf "$work"' _ {} | tee "$summary"
! grep -q -E "^[a-z0-9_]+: FOUND" "$summary"
