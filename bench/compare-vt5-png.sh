#!/usr/bin/env bash
# VT5 against PNG (libpng at its default level, through fmx_PNG), side by side in one run:
# write speed (BMP -> VT5 vs BMP -> PNG), read speed (VT5 -> BMP vs PNG -> BMP) and size,
# for the photo corpus and for a set of flat graphics drawn here. BMP is the fast other side
# of each conversion, so the VT5 and PNG codecs dominate the times.
#
# Usage: bench/compare-vt5-png.sh [CORPUS_DIR]   (default build/bench-corpus, see
#        compare-peers.sh); needs ImageMagick for the flat graphics.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
corpus=${1:-$here/build/bench-corpus}
vtconvert=$here/build/bin/vtconvert
runs=${RUNS:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Flat graphics: screenshot-like pictures of plain areas, frames and lines.
mkdir -p "$work/flat-src"
for i in $(seq 1 12); do
    args=()
    for j in $(seq 1 14); do
        x=$(( (i * 131 + j * 97) % 1700 )); y=$(( (i * 71 + j * 53) % 900 ))
        args+=(-fill "rgb($(( (i * 40 + j * 17) % 256 )),$(( (j * 60) % 256 )),$(( (i * 25) % 256 )))"
               -draw "rectangle $x,$y $((x + 80 + j * 9)),$((y + 40 + i * 5))")
    done
    convert -size 1920x1080 xc:'#eeeeee' "${args[@]}" -stroke black -draw "line 0,$((i * 40)) 1919,$((i * 40))" \
        "$work/flat-src/screen_$i.png"
done

seconds() { # best wall time of $runs runs
    local best=
    for ((r = 0; r < runs; r++)); do
        rm -rf "$work/out"
        local t0 t1
        t0=$(date +%s.%N)
        "$@" >/dev/null 2>&1
        t1=$(date +%s.%N)
        best=$(awk -v a="$t0" -v b="$t1" -v c="${best:-}" 'BEGIN { d = b - a; print (c == "" || d < c) ? d : c }')
    done
    echo "$best"
}
megapixels() { # total megapixels of the BMP files in a folder
    python3 - "$1" <<'PY'
import pathlib, struct, sys
total = 0
for p in pathlib.Path(sys.argv[1]).glob("*.bmp"):
    w, h = struct.unpack("<ii", p.read_bytes()[18:26])
    total += abs(w * h)
print(total / 1e6)
PY
}

printf '%-8s %8s | %9s %9s %7s | %9s %9s %7s | %9s %9s %6s\n' set MPix \
    "VT5 w MP/s" "PNG w" "ratio" "VT5 r MP/s" "PNG r" "ratio" "VT5 MB" "PNG MB" "ratio"
for set in photos flat; do
    src=$corpus/png
    [[ $set == flat ]] && src=$work/flat-src
    [[ -d $src ]] || { echo "no $src" >&2; continue; }
    rm -rf "$work/bmp" "$work/vt5" "$work/png"
    "$vtconvert" -q -f .bmp "$src" "$work/bmp"
    mp=$(megapixels "$work/bmp")
    vt5_w=$(seconds "$vtconvert" -q -f .vt5 "$work/bmp" "$work/out")
    png_w=$(seconds "$vtconvert" -q -f .png "$work/bmp" "$work/out")
    "$vtconvert" -q -f .vt5 "$work/bmp" "$work/vt5"
    "$vtconvert" -q -f .png "$work/bmp" "$work/png"
    vt5_r=$(seconds "$vtconvert" -q -f .bmp "$work/vt5" "$work/out")
    png_r=$(seconds "$vtconvert" -q -f .bmp "$work/png" "$work/out")
    vt5_mb=$(du -sbm "$work/vt5" | cut -f1); vt5_b=$(du -sb "$work/vt5" | cut -f1)
    png_mb=$(du -sbm "$work/png" | cut -f1); png_b=$(du -sb "$work/png" | cut -f1)
    awk -v s="$set" -v mp="$mp" -v vw="$vt5_w" -v pw="$png_w" -v vr="$vt5_r" -v pr="$png_r" \
        -v vb="$vt5_b" -v pb="$png_b" 'BEGIN {
        printf "%-8s %8.1f | %9.1f %9.1f %7.2f | %9.1f %9.1f %7.2f | %9.1f %9.1f %6.2f\n",
            s, mp, mp / vw, mp / pw, pw / vw, mp / vr, mp / pr, pr / vr, vb / 1e6, pb / 1e6, vb / pb }'
done
echo "ratios: speed = PNG time / VT5 time (above 1: VT5 faster); size = VT5 bytes / PNG bytes"
