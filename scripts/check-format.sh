#!/usr/bin/env bash
# Fails when a C or C++ file differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.h' '*.c' '*.cpp')
clang-format --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files clean"
