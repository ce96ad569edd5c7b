#!/usr/bin/env bash
# Installs what is missing, builds, and converts the bundled sample pictures (samples/, with
# its sub-folder) to PNG and then to BMP, renaming them on the way, and to WebP, JPEG (fitted
# into 320x240), TIFF and GIF.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
"$here/scripts/build.sh" "$here/build"
out="$here/build/samples-converted"
rm -rf "$out"
vtconvert="$here/build/bin/vtconvert"
echo
"$vtconvert" --list-formats
echo
echo "== samples/ -> $out/png (PNG, sub-folders included)"
"$vtconvert" -r -f .png "$here/samples" "$out/png"
echo "== $out/png -> $out/bmp (BMP, renamed \"%nn - %s (%wx%h)\")"
"$vtconvert" -r -f .bmp --rename "%nn - %s (%wx%h)" "$out/png" "$out/bmp"
echo "== samples/ -> $out/webp (lossless WebP)"
"$vtconvert" -r -f .webp --set fmx_WebP.lossless=1 "$here/samples" "$out/webp"
echo "== samples/ -> $out/jpeg (JPEG quality 85, best fit in 320x240, high quality)"
"$vtconvert" -r -f .jpg --set fmx_JPEG.quality=85 --resize 3:320x240 --algorithm 2 \
    "$here/samples" "$out/jpeg"
echo "== samples/ -> $out/tiff (TIFF, Deflate) and $out/gif (GIF)"
"$vtconvert" -r -f .tif --set fmx_TIFF.compression=8 "$here/samples" "$out/tiff"
"$vtconvert" -r -f .gif "$here/samples" "$out/gif"
echo
find "$out" -type f | sort | sed "s|^$here/||"
