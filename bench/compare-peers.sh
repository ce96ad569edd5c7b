#!/usr/bin/env bash
# Converts the same folder of photos with vtconvert, libvips and ImageMagick, in the same run,
# and reports each peer's time as a ratio to ours (above 1: we are faster).
#
# Usage: bench/compare-peers.sh [CORPUS_DIR]
#   CORPUS_DIR defaults to build/bench-corpus, made by ../shared/bench/make-corpus.sh when
#   missing. Jobs: its png/ folder (2000x1333 photos) to BMP and to PNG.
# Needs: scripts/install-deps.sh --bench (imagemagick, libvips-tools), a built build/bin.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
corpus=${1:-$here/build/bench-corpus}
vtconvert=$here/build/bin/vtconvert
runs=${RUNS:-3}
threads=$(nproc)

if [[ ! -d "$corpus/png" ]]; then
    maker=$here/../shared/bench/make-corpus.sh
    [[ -x "$maker" || -f "$maker" ]] || { echo "no corpus and no $maker" >&2; exit 1; }
    bash "$maker" "$corpus"
fi
for tool in vips convert; do
    command -v "$tool" >/dev/null || { echo "missing $tool: scripts/install-deps.sh --bench" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$here/bench/timing.sh"

vips_all() { # one picture per process, as many at once as processors
    local ext=$1
    find "$corpus/png" -name '*.png' -print0 |
        xargs -0 -P "$threads" -I{} sh -c 'vips copy "$1" "$2/$(basename "$1" .png)'"$ext"'"' _ {} "$work/out"
}
magick_all() {
    local ext=$1
    find "$corpus/png" -name '*.png' -print0 |
        xargs -0 -P "$threads" -I{} sh -c 'convert "$1" "$2/$(basename "$1" .png)'"$ext"'"' _ {} "$work/out"
}

files=$(find "$corpus/png" -name '*.png' | wc -l)
echo "corpus: $files PNG photos in $corpus/png; $threads processors; best of $runs runs"
printf '%-12s %10s %10s %12s %10s %12s\n' job vtconvert vips vips/ours magick magick/ours
for ext in .bmp .png; do
    ours=$(best_of "$vtconvert" -q --overwrite -f "$ext" "$corpus/png" "$work/out")
    vips_t=$(best_of vips_all "$ext")
    magick_t=$(best_of magick_all "$ext")
    awk -v j="png->${ext#.}" -v o="$ours" -v v="$vips_t" -v m="$magick_t" \
        'BEGIN { printf "%-12s %9.2fs %9.2fs %12.2f %9.2fs %12.2f\n", j, o, v, v / o, m, m / o }'
done
