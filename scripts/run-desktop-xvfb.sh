#!/usr/bin/env bash
# Starts the desktop program on a virtual X display, sends SIGTERM after 3 seconds and checks
# that it closed cleanly: exit status 0 and the settings written at shutdown.
# Usage: scripts/run-desktop-xvfb.sh [build folder or installation prefix]   (default: build;
#        /usr runs the installed /usr/bin/vantrel-converter)
set -euo pipefail

build=${1:-build}
program="$build/bin/vantrel-converter"
[[ -x $program ]] || { echo "no $program: build the target vantrel-converter first" >&2; exit 2; }
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (Debian package xvfb)" >&2; exit 2; }

data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

status=0
VANTREL_DATA_ROOT="$data" timeout 60 xvfb-run -a -s "-screen 0 1280x1024x24" \
    sh -c '"$1" & pid=$!
           sleep 3
           kill -0 "$pid" || { echo "the program ended before it was asked to" >&2; exit 4; }
           kill -TERM "$pid"
           wait "$pid"' sh "$program" || status=$?

if [[ $status -ne 0 ]]; then
    echo "FAIL: exit status $status after SIGTERM" >&2
    exit 1
fi
settings="$data/Converter/settings.bin"
if [[ ! -f $settings || $(stat -c %s "$settings") -ne 32 ]]; then
    echo "FAIL: no 32-byte settings.bin after shutdown" >&2
    exit 1
fi
echo "OK: closed on SIGTERM with status 0, settings synced"
