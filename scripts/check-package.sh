#!/usr/bin/env bash
# Installs the Debian package on this machine (dpkg -i, then apt-get -f install for what is
# missing), converts the bundled samples with /usr/bin/vtconvert, starts /usr/bin/vantrel-converter
# under Xvfb, and removes the package again, also when a check fails. Run as root (CI).
# Usage: scripts/check-package.sh PACKAGE.deb
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
deb=$(realpath "$1")
export DEBIAN_FRONTEND=noninteractive
if dpkg-query -W -f='${Status}' vantrel-converter 2>/dev/null | grep -q "install ok installed"; then
    echo "vantrel-converter is installed already; remove it first" >&2
    exit 2
fi
work=$(mktemp -d)
cleanup() {
    local status=$?
    dpkg --purge vantrel-converter >/dev/null || status=1
    [[ ! -e /usr/bin/vtconvert && ! -e /usr/lib/vantrel ]] || { echo "FAIL: files left after purge" >&2; status=1; }
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
dpkg -i "$deb" >/dev/null 2>&1 || apt-get -f install -y -qq >/dev/null
dpkg-query -W -f='${Status}\n' vantrel-converter | grep -q "install ok installed"

# The installed programs know nothing of the source or build tree, nor of this user's settings.
unset VANTREL_PATH LD_LIBRARY_PATH
export VANTREL_DATA_ROOT="$work/data"
cd /
[[ $(command -v vtconvert) == /usr/bin/vtconvert ]]
summary=$(vtconvert -q -r -f .png --json "$here/samples" "$work/png")
echo "vtconvert: $summary"
[[ $summary == *'"failed":0,"unknown":0'* ]] || { echo "FAIL: samples not all converted" >&2; exit 1; }
expected=$(cd "$here/samples" && find . -type f | sed 's/\.[^./]*$/.png/' | sort)
written=$(cd "$work/png" && find . -type f | sort)
[[ $written == "$expected" ]] || { echo "FAIL: written $written" >&2; exit 1; }
for f in $written; do
    [[ $(head -c 8 "$work/png/$f" | od -An -tx1 | tr -d ' ') == 89504e470d0a1a0a ]] ||
        { echo "FAIL: $f is no PNG" >&2; exit 1; }
done
bash "$here/scripts/run-desktop-xvfb.sh" /usr
echo "OK: the package installs, /usr/bin/vtconvert converts the samples, the desktop program runs"
