#!/usr/bin/env bash
# Configures and builds one build folder. Usage: scripts/build.sh DIR [cmake options...]
# Warnings are errors when CI is set.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
werror=OFF
if [[ "${CI:-}" == "true" ]]; then werror=ON; fi
cmake -S "$here" -B "$dir" -G Ninja -DVT_WERROR=$werror "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
