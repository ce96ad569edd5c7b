#!/usr/bin/env bash
# The benchmark photo job (camera JPEGs 3000x2000 fitted into 800x600, high-quality
# resampling, JPEG quality 90) by vtconvert's exact path, by vtconvert --fast-decode and by
# vipsthumbnail, in one run on the same files with the same number of processes. Prints each
# wall time and its ratio to the fast path, and each output's PSNR against a reference made
# from the full decode (ImageMagick, Lanczos, written lossless), averaged over the files.
#
# Usage: bench/compare-fast-decode.sh [CORPUS_DIR]   (as compare-photo.sh; RUNS=3 by default)
# Needs: scripts/install-deps.sh --bench, a built build/bin.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
corpus=${1:-$here/build/bench-corpus}
vtconvert=$here/build/bin/vtconvert
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

job=(-q --overwrite -f .jpg --resize 3:800x600 --algorithm 2 --set fmx_JPEG.quality=90)
# The box turns with a portrait picture in vtconvert; 800x800 gives vipsthumbnail the same sizes.
vips_each() {
    find "$corpus/jpeg" -name '*.jpg' -print0 |
        xargs -0 -P "$threads" -I{} sh -c 'vipsthumbnail "$1" -s 800x800 -o "$2/%s.jpg[Q=90]"' \
            _ {} "$work/out"
}
keep() { rm -rf "$work/$1" && cp -r "$work/out" "$work/$1"; }

exact_t=$(best_of "$vtconvert" "${job[@]}" "$corpus/jpeg" "$work/out"); keep exact
fast_t=$(best_of "$vtconvert" "${job[@]}" --fast-decode "$corpus/jpeg" "$work/out"); keep fast
vips_t=$(best_of vips_each); keep vips

mkdir -p "$work/ref"
find "$corpus/jpeg" -name '*.jpg' -print0 |
    xargs -0 -P "$threads" -I{} sh -c \
        'convert "$1" -auto-orient -filter Lanczos -resize 800x800 "$2/$(basename "$1" .jpg).png"' \
        _ {} "$work/ref"

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
echo "corpus: $files JPEG photos; $threads processors; best of $runs runs"
awk -v e="$exact_t" -v f="$fast_t" -v v="$vips_t" 'BEGIN {
    printf "vtconvert exact        %8.2fs  %5.2f x the fast path\n", e, e / f
    printf "vtconvert --fast-decode %7.2fs\n", f
    printf "vipsthumbnail          %8.2fs  %5.2f x the fast path\n", v, v / f }'
echo "PSNR against the full-decode Lanczos reference:"
echo "  exact:         $(mean_psnr exact)"
echo "  fast-decode:   $(mean_psnr fast)"
echo "  vipsthumbnail: $(mean_psnr vips)"
