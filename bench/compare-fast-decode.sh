#!/usr/bin/env bash
# The two thumbnail workloads of bench/compare-peers.sh (W1: camera JPEGs 3000x2000 fitted into
# 800x600; W6: upright by EXIF, GPS and dates removed, fitted into 1920x1920; both high-quality
# resampling, JPEG quality 90) by vtconvert's exact path, by vtconvert --fast-decode and by
# vipsthumbnail, in one run on the same files with the same number of processes. Prints each
# time, the fast path's ratio to the exact one, and each output's PSNR against a reference made
# from the full decode (ImageMagick, Lanczos, written lossless), averaged over the files.
#
# Usage: bench/compare-fast-decode.sh [CORPUS_DIR]   (as compare-photo.sh; RUNS=3 by default)
# Needs: scripts/install-deps.sh --bench, a built build/bin.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
corpus=${1:-$here/build/bench-corpus}
vtconvert=${VTCONVERT:-$here/build/bin/vtconvert}
runs=${RUNS:-3}
threads=$(nproc)
export OMP_NUM_THREADS=1 VIPS_CONCURRENCY=1 MAGICK_THREAD_LIMIT=1

if [[ ! -d "$corpus/jpeg" ]]; then
    maker=$here/../shared/bench/make-corpus.sh
    [[ -f "$maker" ]] || { echo "no corpus and no $maker" >&2; exit 1; }
    bash "$maker" "$corpus"
fi
for tool in vipsthumbnail convert compare; do
    command -v "$tool" >/dev/null || { echo "missing $tool: scripts/install-deps.sh --bench" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$here/bench/timing.sh"

# Runs one workload: NAME, the box side, then vtconvert's job options. The box turns with a
# portrait picture in vtconvert; a square box gives vipsthumbnail and the reference the same sizes.
workload() {
    local name=$1 side=$2
    shift 2
    local job=(-q --overwrite -f .jpg "$@" --set fmx_JPEG.quality=90)
    vips_each() {
        find "$corpus/jpeg" -name '*.jpg' -print0 |
            xargs -0 -P "$threads" -I{} sh -c 'vipsthumbnail "$1" -s "$3x$3" -o "$2/%s.jpg[Q=90,strip]"' \
                _ {} "$work/out" "$side"
    }
    keep() { rm -rf "$work/$1" && cp -r "$work/out" "$work/$1"; }

    exact_t=$(best_of "$vtconvert" "${job[@]}" "$corpus/jpeg" "$work/out"); keep exact
    fast_t=$(best_of "$vtconvert" "${job[@]}" --fast-decode "$corpus/jpeg" "$work/out"); keep fast
    vips_t=$(best_of vips_each); keep vips

    rm -rf "$work/ref" && mkdir -p "$work/ref"
    find "$corpus/jpeg" -name '*.jpg' -print0 |
        xargs -0 -P "$threads" -I{} sh -c \
            'convert "$1" -auto-orient -filter Lanczos -resize "$3x$3" "$2/$(basename "$1" .jpg).png"' \
            _ {} "$work/ref" "$side"

    echo "$name: $files JPEG photos into ${side}x${side}; $threads processors; best of $runs runs (${TIMING:-wall} time)"
    awk -v e="$exact_t" -v f="$fast_t" -v v="$vips_t" 'BEGIN {
        printf "  vtconvert exact         %7.2fs\n", e
        printf "  vtconvert --fast-decode %7.2fs  %5.2f x the exact path\n", f, f / e
        printf "  vipsthumbnail           %7.2fs\n", v }'
    echo "  PSNR against the full-decode Lanczos reference:"
    echo "    exact:         $(mean_psnr exact)"
    echo "    fast-decode:   $(mean_psnr fast)"
    echo "    vipsthumbnail: $(mean_psnr vips)"
}

# Mean PSNR in dB of a folder's files against the references (files of another size are left out).
mean_psnr() {
    local sum=0 n=0 v
    for ref in "$work/ref"/*.png; do
        local name out
        name=$(basename "$ref" .png)
        out=$(find "$work/$1" -name "$name*.jpg" | head -n 1)
        [[ -n "$out" ]] || continue
        v=$(compare -metric PSNR "$out" "$ref" null: 2>&1 >/dev/null | awk '{print $1}') || true
        [[ "$v" =~ ^[0-9.]+$ ]] || continue
        sum=$(awk -v s="$sum" -v v="$v" 'BEGIN { print s + v }'); n=$((n + 1))
    done
    awk -v s="$sum" -v n="$n" 'BEGIN { if (n) printf "%.2f dB (%d files)", s / n, n; else print "n/a" }'
}

files=$(find "$corpus/jpeg" -name '*.jpg' | wc -l)
workload W1 800 --resize 3:800x600 --algorithm 2
workload W6 1920 --rotate 4 --remove-gps --remove-dates --resize 3:1920x1920 --algorithm 2
