#!/usr/bin/env bash
# Installs what is missing, builds, and converts the bundled sample pictures (samples/, with
# its sub-folder) to PNG and then to BMP, renaming them on the way.
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
echo
find "$out" -type f | sort | sed "s|^$here/||"
