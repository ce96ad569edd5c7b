#!/usr/bin/env bash
# Builds the Debian package vantrel-converter_<version>_amd64.deb (cpack -G DEB: the install
# rules under /usr, dependencies computed by dpkg-shlibdeps) and checks it with lintian, which
# must report no error; the warnings kept are listed with their reasons in docs/packaging.md.
# Usage: scripts/package.sh [build folder] [output folder]
#   The build folder (default build/) is built first, configured if it is new; the package is
#   written to the output folder (default <build folder>/package).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$here/build}")
out=$(realpath -m "${2:-$build/package}")

"$here/scripts/install-deps.sh"
if [[ -f $build/CMakeCache.txt ]]; then
    cmake --build "$build" -j "$(nproc)"
else
    "$here/scripts/build.sh" "$build"
fi
rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log"; exit 1; }
rm -rf "$out/_CPack_Packages"
deb=$(find "$out" -maxdepth 1 -name 'vantrel-converter_*_amd64.deb')
[[ -n $deb ]] || { echo "cpack made no vantrel-converter_<version>_amd64.deb" >&2; exit 1; }
echo "$deb"
dpkg-deb --info "$deb" | sed -n 's/^ \(Depends\|Recommends\|Installed-Size\):/  \1:/p'
status=0
lintian --fail-on error --info "$deb" >"$out/lintian.txt" 2>&1 || status=$?
# lintian says so when it runs as root; that is no finding.
grep -v 'running with root privileges' "$out/lintian.txt" || true
if ((status != 0)); then
    echo "lintian found errors in $deb" >&2
    exit 1
fi
echo "lintian: no errors"
