#!/usr/bin/env bash
# Installs what is missing, builds, and shows what the build made. Format plug-ins and the
# command line come next; from then on this converts the bundled samples.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
"$here/scripts/build.sh" "$here/build"
echo
echo "Built into $here/build:"
echo "  libraries: $(cd "$here/build/lib" && ls ./*.a | sed 's|^\./||' | tr '\n' ' ')"
echo "  programs in bin/: $(ls "$here/build/bin" 2>/dev/null | tr '\n' ' ')"
echo "  tests: $(ls "$here/build/tests" | tr '\n' ' ')"
echo "No format plug-ins are built yet, so there is nothing to convert."
