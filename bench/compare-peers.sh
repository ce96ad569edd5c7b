#!/usr/bin/env bash
# The six benchmark workloads, done by vtconvert and by the peers that do each best, on the same
# files in one run. The runs alternate (ours, then each peer, then ours again ...) so that a
# machine busy with other work slows all alike; each time is the median of the runs, and the
# ratio is ours over the peer's (below 1: we are faster).
#   W1   JPEG photos fitted into 800x600, high-quality resampling, JPEG quality 90
#        (also with --fast-decode): vipsthumbnail, ImageMagick
#   W2   PNG photos to lossy WebP quality 80: GraphicsMagick, cwebp
#   W3   JPEG photos to PNG: libvips
#   W4   JPEG photos to 50 %, advanced windowed sinc (and the high-quality method), JPEG
#        quality 90: vipsthumbnail
#   W5   large JPEG photos through the median filter of radius 3 (7x7), JPEG quality 90:
#        libvips; also the largest resident memory of ours and of one peer process
#   W6   upright by the EXIF orientation, GPS and dates removed, fitted into 1920x1920, JPEG
#        quality 90 (also with --fast-decode): vipsthumbnail
#
# Usage: bench/compare-peers.sh [CORPUS_DIR]    (RUNS=3, TIMING=wall or cpu, VTCONVERT=a build's)
#        bench/compare-peers.sh --tiny          (a few small pictures made here, one run; CI)
#   CORPUS_DIR holds jpeg/ (6 MP), png/ (2.7 MP) and large/ (24 MP); it defaults to
#   build/bench-corpus, made by ../shared/bench/make-corpus.sh when missing. The peers run one
#   single-threaded process per file, as many at once as vtconvert has workers (one per
#   processor). A peer that is not installed is left out ("-").
# Needs: a built build/bin; the peers from scripts/install-deps.sh --bench.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
vtconvert=${VTCONVERT:-$here/build/bin/vtconvert}
runs=${RUNS:-3}
threads=$(nproc)
export OMP_NUM_THREADS=1 VIPS_CONCURRENCY=1 MAGICK_THREAD_LIMIT=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$here/bench/timing.sh"

if [[ ${1:-} == --tiny ]]; then
    # A noisy gradient as PPM, turned into the three folders by vtconvert itself, so that no
    # other tool is needed.
    corpus=$work/corpus
    runs=${RUNS:-1}
    mkdir -p "$corpus/ppm" "$corpus/ppm-large"
    python3 - "$corpus" <<'PY'
import random, sys
root = sys.argv[1]
def ppm(path, w, h, seed):
    rnd = random.Random(seed)
    data = bytearray()
    for y in range(h):
        for x in range(w):
            n = rnd.randrange(24)
            data += bytes(((x * 255 // w + n) & 255, (y * 255 // h + n) & 255, ((x + y) // 4 + n) & 255))
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (w, h) + data)
for i in range(3):
    ppm(f"{root}/ppm/photo_{i}.ppm", 480, 320, i)
ppm(f"{root}/ppm-large/large_0.ppm", 960, 640, 9)
PY
    "$vtconvert" -q -f .jpg "$corpus/ppm" "$corpus/jpeg"
    "$vtconvert" -q -f .png "$corpus/ppm" "$corpus/png"
    "$vtconvert" -q -f .jpg "$corpus/ppm-large" "$corpus/large"
else
    corpus=${1:-$here/build/bench-corpus}
    if [[ ! -d "$corpus/jpeg" || ! -d "$corpus/png" || ! -d "$corpus/large" ]]; then
        maker=$here/../shared/bench/make-corpus.sh
        [[ -f "$maker" ]] || { echo "no corpus and no $maker" >&2; exit 1; }
        bash "$maker" "$corpus"
    fi
fi

# Runs COMMAND for every file of a folder, $threads at once, with "$1" the file and "$2" the
# output path (same name, extension TO).
each_file() {
    local folder=$1 from=$2 to=$3 command=$4
    find "$folder" -name "*$from" -print0 |
        xargs -0 -P "$threads" -I{} sh -c 'set -- "$1" "$2/$(basename "$1" "$3")$4"; '"$command" \
            _ {} "$work/out" "$from" "$to"
}
has() { command -v "$1" >/dev/null; }

# The half-size box of W4 from the first photo (the corpus photos share one size).
first_jpeg=$(find "$corpus/jpeg" -name '*.jpg' | sort | head -n 1)
half_width=0
if has vipsheader; then half_width=$(($(vipsheader -f width "$first_jpeg") / 2)); fi

vt() { "$vtconvert" -q --overwrite "$@" "$work/out"; }
q90=(--set fmx_JPEG.quality=90)
# name | our command | peer label | peer command (empty: left out) ...
declare -a rows=(
    "W1|vt -f .jpg --resize 3:800x600 --algorithm 2 ${q90[*]} $corpus/jpeg"
    "W1 fast|vt -f .jpg --resize 3:800x600 --algorithm 2 --fast-decode ${q90[*]} $corpus/jpeg"
    "W2|vt -f .webp --set fmx_WebP.quality=80 $corpus/png"
    "W3|vt -f .png $corpus/jpeg"
    "W4 advanced|vt -f .jpg --resize 5:50x50 --algorithm 3 --filter 5 ${q90[*]} $corpus/jpeg"
    "W4 high|vt -f .jpg --resize 5:50x50 --algorithm 2 ${q90[*]} $corpus/jpeg"
    "W5|vt -f .jpg --denoise 3 ${q90[*]} $corpus/large"
    "W6|vt -f .jpg --rotate 4 --remove-gps --remove-dates --resize 3:1920x1920 --algorithm 2 ${q90[*]} $corpus/jpeg"
    "W6 fast|vt -f .jpg --rotate 4 --remove-gps --remove-dates --resize 3:1920x1920 --algorithm 2 --fast-decode ${q90[*]} $corpus/jpeg"
)
peers_of() {
    case $1 in
    "W1" | "W1 fast")
        has vips && echo "vipsthumbnail|each_file $corpus/jpeg .jpg .jpg 'vips thumbnail \"\$1\" \"\$2[Q=90]\" 800 --height 600'"
        has convert && echo "ImageMagick|each_file $corpus/jpeg .jpg .jpg 'convert \"\$1\" -resize 800x600 -quality 90 \"\$2\"'" ;;
    "W2")
        has gm && echo "GraphicsMagick|each_file $corpus/png .png .webp 'gm convert \"\$1\" -quality 80 \"\$2\"'"
        has cwebp && echo "cwebp|each_file $corpus/png .png .webp 'cwebp -quiet -q 80 \"\$1\" -o \"\$2\"'" ;;
    "W3")
        has vips && echo "libvips|each_file $corpus/jpeg .jpg .png 'vips copy \"\$1\" \"\$2\"'" ;;
    "W4 advanced" | "W4 high")
        has vips && ((half_width > 0)) &&
            echo "vipsthumbnail|each_file $corpus/jpeg .jpg .jpg 'vips thumbnail \"\$1\" \"\$2[Q=90]\" $half_width'" ;;
    "W5")
        has vips && echo "libvips|each_file $corpus/large .jpg .jpg 'vips rank \"\$1\" \"\$2[Q=90]\" 7 7 24'" ;;
    "W6" | "W6 fast")
        has vips && echo "vipsthumbnail|each_file $corpus/jpeg .jpg .jpg 'vips thumbnail \"\$1\" \"\$2[Q=90,strip]\" 1920 --height 1920'" ;;
    esac
}
# Largest resident memory in MiB of COMMAND (for a peer: of its largest process).
max_rss() {
    rm -rf "$work/out" && mkdir -p "$work/out"
    if [[ -x /usr/bin/time ]]; then
        /usr/bin/time -q -f '%M' -o "$work/rss" bash -c "$(declare -f each_file vt); $(declare -p work threads vtconvert); $1" \
            >/dev/null 2>&1 && awk '{ printf "%.0f", $1 / 1024 }' "$work/rss"
    else
        echo "-"
    fi
}

echo "corpus: $corpus; $threads processors; median of $runs alternating runs; ${TIMING:-wall} time"
printf '%-12s %9s  %-15s %9s %7s\n' workload vtconvert peer "peer" ours/peer
for row in "${rows[@]}"; do
    name=${row%%|*}
    ours_cmd=${row#*|}
    mapfile -t peers < <(peers_of "$name")
    declare -a ours_t=() peer_t=()
    for ((r = 0; r < runs; r++)); do
        ours_t+=("$(time_once eval "$ours_cmd")")
        for i in "${!peers[@]}"; do
            peer_t[i]="${peer_t[i]:-} $(time_once eval "${peers[i]#*|}")"
        done
    done
    ours=$(median "${ours_t[@]}")
    if ((${#peers[@]} == 0)); then
        printf '%-12s %8.2fs  %-15s %9s %7s\n' "$name" "$ours" "-" "-" "-"
    fi
    for i in "${!peers[@]}"; do
        # shellcheck disable=SC2086
        peer=$(median ${peer_t[i]})
        awk -v n="$name" -v o="$ours" -v l="${peers[i]%%|*}" -v p="$peer" \
            'BEGIN { printf "%-12s %8.2fs  %-15s %8.2fs %7.2f\n", n, o, l, p, (p > 0 ? o / p : 0) }'
    done
    if [[ $name == W5 ]]; then
        line="W5 memory: vtconvert $(max_rss "$ours_cmd") MiB"
        if ((${#peers[@]} > 0)); then
            line+=", ${peers[0]%%|*} $(max_rss "${peers[0]#*|}") MiB (its largest process)"
        fi
        echo "$line"
    fi
    unset ours_t peer_t
done
