#!/usr/bin/env bash
# Configures and builds one build folder. Usage: scripts/build.sh DIR [cmake options...]
# Warnings are errors when CI is set.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
werror=OFF
ci_flags=()
if [[ "${CI:-}" == "true" ]]; then
    werror=ON
    # Line tables are all a CI failure's stack trace needs; full debug information costs a
    # third of the sanitizer build's compile time.
    ci_flags=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
              -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")
fi
cmake -S "$here" -B "$dir" -G Ninja -DVT_WERROR=$werror "${ci_flags[@]}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
