#!/usr/bin/env bash
# The photo jobs a batch usually is, done by vtconvert and by libvips, ImageMagick and
# GraphicsMagick on the same files with the same number of threads, in one run; each peer's
# wall time is reported as a ratio to ours (above 1: we are faster).
#   jpeg->jpeg: camera JPEGs (3000x2000) fitted into 800x600 with high-quality resampling,
#               saved as JPEG quality 90
#   png->webp:  PNG photos (2000x1333) saved as lossy WebP quality 80
#
# Usage: bench/compare-photo.sh [CORPUS_DIR]
#   CORPUS_DIR defaults to build/bench-corpus, made by ../shared/bench/make-corpus.sh when
#   missing. The peers run one single-threaded process per file, as many at once as vtconvert
#   has workers (one per processor).
# Needs: scripts/install-deps.sh --bench, a built build/bin.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
corpus=${1:-$here/build/bench-corpus}
vtconvert=$here/build/bin/vtconvert
runs=${RUNS:-3}
threads=$(nproc)
export OMP_NUM_THREADS=1 VIPS_CONCURRENCY=1 MAGICK_THREAD_LIMIT=1

if [[ ! -d "$corpus/jpeg" || ! -d "$corpus/png" ]]; then
    maker=$here/../shared/bench/make-corpus.sh
    [[ -f "$maker" ]] || { echo "no corpus and no $maker" >&2; exit 1; }
    bash "$maker" "$corpus"
fi
for tool in vips convert gm; do
    command -v "$tool" >/dev/null || { echo "missing $tool: scripts/install-deps.sh --bench" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$here/bench/timing.sh"

# Runs COMMAND for every file of a folder, $threads at once, with "$1" the file and "$2" the
# output path (same name, extension TO).
each_file() {
    local folder=$1 from=$2 to=$3 command=$4
    find "$folder" -name "*$from" -print0 |
        xargs -0 -P "$threads" -I{} sh -c 'set -- "$1" "$2/$(basename "$1" "$3")$4"; '"$command" \
            _ {} "$work/out" "$from" "$to"
}

report() {
    awk -v j="$1" -v o="$2" -v v="$3" -v m="$4" -v g="$5" 'BEGIN {
        printf "%-11s %8.2fs %8.2fs %6.2f %8.2fs %6.2f %8.2fs %6.2f\n", j, o, v, v / o, m, m / o, g, g / o }'
}

jpegs=$(find "$corpus/jpeg" -name '*.jpg' | wc -l)
pngs=$(find "$corpus/png" -name '*.png' | wc -l)
echo "corpus: $jpegs JPEG and $pngs PNG photos in $corpus; $threads processors; best of $runs runs"
printf '%-11s %9s %9s %6s %9s %6s %9s %6s\n' job vtconvert vips ratio magick ratio gm ratio

ours=$(best_of "$vtconvert" -q --overwrite -f .jpg --resize 3:800x600 --algorithm 2 \
    --set fmx_JPEG.quality=90 "$corpus/jpeg" "$work/out")
vips_t=$(best_of each_file "$corpus/jpeg" .jpg .jpg 'vips thumbnail "$1" "$2[Q=90]" 800 --height 600')
magick_t=$(best_of each_file "$corpus/jpeg" .jpg .jpg 'convert "$1" -resize 800x600 -quality 90 "$2"')
gm_t=$(best_of each_file "$corpus/jpeg" .jpg .jpg 'gm convert "$1" -resize 800x600 -quality 90 "$2"')
report "jpeg->jpeg" "$ours" "$vips_t" "$magick_t" "$gm_t"

ours=$(best_of "$vtconvert" -q --overwrite -f .webp --set fmx_WebP.quality=80 \
    "$corpus/png" "$work/out")
vips_t=$(best_of each_file "$corpus/png" .png .webp 'vips copy "$1" "$2[Q=80]"')
magick_t=$(best_of each_file "$corpus/png" .png .webp 'convert "$1" -quality 80 "$2"')
gm_t=$(best_of each_file "$corpus/png" .png .webp 'gm convert "$1" -quality 80 "$2"')
report "png->webp" "$ours" "$vips_t" "$magick_t" "$gm_t"
