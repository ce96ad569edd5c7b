#!/usr/bin/env bash
# Every format plug-in exports its entry points and nothing else.
set -euo pipefail
dir=${1:-build/bin/Plugins}
allowed='^(flt_CheckLoad|flt_LoadImage|flt_CheckSave|flt_SaveImage|plg_ShowDialog|plg_StateEntries|plg_Version)$'
status=0 count=0
shopt -s nullglob
for so in "$dir"/fmx_*.so; do
    count=$((count + 1))
    extra=$(nm -D --defined-only "$so" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | grep -v -E "$allowed" || true)
    if [[ -n "$extra" ]]; then
        echo "$so exports more than its entry points:"; echo "$extra" | head -n 10
        status=1
    fi
    if ! nm -D --defined-only "$so" | grep -q -E ' T flt_(LoadImage|SaveImage)$'; then
        echo "$so exports neither flt_LoadImage nor flt_SaveImage"; status=1
    fi
done
echo "plug-in exports: $count plug-ins checked"
exit $status
