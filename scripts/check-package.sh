#!/usr/bin/env bash
# Checks the Debian package as a user gets it: installed with apt, it converts the bundled
# samples with /usr/bin/vtconvert (started from /, every file converted, each one a PNG) and
# runs /usr/bin/vantrel-converter under Xvfb (it closes cleanly on SIGTERM).
# Usage (as root):
#   scripts/check-package.sh PACKAGE.deb          in a fresh Debian 12 root made by mmdebstrap
#                                                 (network to the Debian mirrors), then discarded
#   scripts/check-package.sh --host PACKAGE.deb   on this machine: dpkg -i, apt-get -f install
#                                                 for what is missing, and dpkg --purge at the
#                                                 end, also when a check fails
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

# The checks themselves, against the installed package; SAMPLES is a copy of samples/.
check_installed() {
    local samples=$1 work
    work=$(mktemp -d)
    # The installed programs know nothing of the source or build tree, nor of this user's settings.
    unset VANTREL_PATH LD_LIBRARY_PATH
    export VANTREL_DATA_ROOT="$work/data"
    cd /
    fail() {
        echo "FAIL: $*" >&2
        return 1
    }
    [[ $(command -v vtconvert) == /usr/bin/vtconvert ]] || fail "no /usr/bin/vtconvert"
    local summary expected written
    summary=$(vtconvert -q -r -f .png --json "$samples" "$work/png")
    echo "vtconvert: $summary"
    [[ $summary == *'"failed":0,"unknown":0'* ]] || fail "samples not all converted"
    expected=$(cd "$samples" && find . -type f | sed 's/\.[^./]*$/.png/' | sort)
    written=$(cd "$work/png" && find . -type f | sort)
    [[ $written == "$expected" ]] || fail "written: $written"
    for f in $written; do
        [[ $(head -c 8 "$work/png/$f" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]] ||
            fail "$f is no PNG"
    done
    bash "$here/scripts/run-desktop-xvfb.sh" /usr
    rm -rf "$work"
}

if [[ ${1:-} == --installed ]]; then
    check_installed "$2"
    exit
fi
host=0
if [[ ${1:-} == --host ]]; then
    host=1
    shift
fi
deb=$(realpath "$1")
[[ $(id -u) -eq 0 ]] || { echo "run as root" >&2; exit 2; }
export DEBIAN_FRONTEND=noninteractive

if ((host == 0)); then
    command -v mmdebstrap >/dev/null ||
        { echo "mmdebstrap is missing (scripts/install-deps.sh)" >&2; exit 2; }
    # Bare Debian 12 with apt, plus what runs the desktop program on a virtual display; the
    # package comes in with apt like a downloaded one, and its dependencies from the mirror.
    inside=/root/vt-check
    scripts="$here/scripts/check-package.sh $here/scripts/run-desktop-xvfb.sh"
    install="apt-get install -y -qq --no-install-recommends $inside/$(basename "$deb")"
    # The root is thrown away: dpkg need not sync every file.
    mmdebstrap --quiet --variant=apt --include=xvfb,xauth --dpkgopt=force-unsafe-io \
        --customize-hook="mkdir -p \"\$1$inside/scripts\"" \
        --customize-hook="copy-in $deb $here/samples $inside" \
        --customize-hook="copy-in $scripts $inside/scripts" \
        --customize-hook="chroot \"\$1\" $install >/dev/null" \
        --customize-hook="chroot \"\$1\" bash $inside/scripts/check-package.sh --installed \
                          $inside/samples" \
        bookworm /dev/null
    echo "OK: a fresh Debian 12 root installs the package with apt, vtconvert converts the" \
        "samples and the desktop program runs"
    exit
fi

if dpkg-query -W -f='${Status}' vantrel-converter 2>/dev/null | grep -q "install ok installed"; then
    echo "vantrel-converter is installed already; remove it first" >&2
    exit 2
fi
cleanup() {
    local status=$?
    dpkg --purge vantrel-converter >/dev/null || status=1
    if [[ -e /usr/bin/vtconvert || -e /usr/lib/vantrel ]]; then
        echo "FAIL: files left after the purge" >&2
        status=1
    fi
    exit $status
}
trap cleanup EXIT
dpkg -i "$deb" >/dev/null 2>&1 || apt-get -f install -y -qq >/dev/null
dpkg-query -W -f='${Status}\n' vantrel-converter | grep -q "install ok installed"
check_installed "$here/samples"
echo "OK: the package installs here, vtconvert converts the samples, the desktop program runs"
