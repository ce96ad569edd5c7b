# Sourced by the comparison scripts: best_of COMMAND... prints the best wall time in seconds of
# $runs runs, each into a fresh "$work/out".
best_of() {
    local best=
    for ((i = 0; i < runs; i++)); do
        rm -rf "$work/out" && mkdir -p "$work/out"
        local t0 t1
        t0=$(date +%s.%N)
        "$@" >/dev/null 2>&1
        t1=$(date +%s.%N)
        best=$(echo "$t0 $t1 ${best:-}" | awk '{d = $2 - $1; if ($3 == "" || d < $3) print d; else print $3}')
    done
    echo "$best"
}
