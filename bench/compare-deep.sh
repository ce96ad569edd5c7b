#!/usr/bin/env bash
# The deep-colour job side by side with libvips: a 16-bit 24 MP TIFF (6000x4000, made here with
# ImageMagick) resized to 50 % and written as 16-bit PNG, best of $RUNS runs each. Prints our
# time against libvips' and against our own 8-bit job (--depth 8) on the same file, and the bit
# depth each tool wrote (see docs/deep-colour.md for what keeps 16 bits).
#
# Usage: bench/compare-deep.sh            (RUNS=3 by default)
# Needs: scripts/install-deps.sh --bench (imagemagick, libvips-tools), a built build/bin.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
vtconvert=$here/build/bin/vtconvert
runs=${RUNS:-3}
for tool in vips convert; do
    command -v "$tool" >/dev/null || { echo "missing $tool: scripts/install-deps.sh --bench" >&2; exit 1; }
done
[[ -x "$vtconvert" ]] || { echo "build vtconvert first" >&2; exit 1; }

work=$(mktemp -d)
chmod 700 "$work"
trap 'rm -rf "$work"' EXIT
source "$here/bench/timing.sh"

mkdir -p "$work/src"
convert -size 6000x4000 gradient:'#0a1020-#f0e0c0' -seed 1 -attenuate 0.2 +noise Gaussian \
    -depth 16 -compress none "TIFF:$work/src/scan.tif"

ours16() { "$vtconvert" -q -f .png --resize 5:50x50 --algorithm 2 --depth 16 "$work/src" "$work/out"; }
ours8() { "$vtconvert" -q -f .png --resize 5:50x50 --algorithm 2 --depth 8 "$work/src" "$work/out"; }
vips16() { vips resize "$work/src/scan.tif" "$work/out/scan.png[compression=6]" 0.5; }

# The bit depth of the PNG in the output folder (IHDR byte 24).
depth_of() { od -An -tu1 -j24 -N1 "$work/out/scan.png" | tr -d ' '; }

t16=$(best_of ours16); d16=$(rm -rf "$work/out"; mkdir -p "$work/out"; ours16 >/dev/null 2>&1; depth_of)
t8=$(best_of ours8)
tv=$(best_of vips16); dv=$(rm -rf "$work/out"; mkdir -p "$work/out"; vips16 >/dev/null 2>&1; depth_of)

awk -v t16="$t16" -v t8="$t8" -v tv="$tv" -v d16="$d16" -v dv="$dv" 'BEGIN {
    printf "16-bit 24 MP TIFF -> 50 %% -> PNG, best of runs (seconds)\n"
    printf "  vtconvert --depth 16: %.2f s (wrote %s-bit)\n", t16, d16
    printf "  vtconvert --depth 8:  %.2f s\n", t8
    printf "  vips resize:          %.2f s (wrote %s-bit)\n", tv, dv
    printf "ours / libvips:        %.2f (at most 1 is the goal)\n", t16 / tv
    printf "ours 16 / ours 8:      %.2f (at most 2 is the goal)\n", t16 / t8
}'
