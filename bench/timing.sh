# Sourced by the comparison scripts: best_of COMMAND... prints the best time in seconds of $runs
# runs, each into a fresh "$work/out". The time is the wall time, or with TIMING=cpu the
# processor time (user + system, the command's children included): on a machine that others
# share, that one still compares the work done, though not what threads gain.
best_of() {
    local best= t
    for ((i = 0; i < runs; i++)); do
        rm -rf "$work/out" && mkdir -p "$work/out"
        t=$(TIMEFORMAT='%R %U %S'
            { time "$@" >/dev/null 2>&1; } 2>&1 | awk -v cpu="${TIMING:-wall}" '{ print (cpu == "cpu" ? $2 + $3 : $1) }')
        best=$(echo "$t ${best:-}" | awk '{ if ($2 == "" || $1 < $2) print $1; else print $2 }')
    done
    echo "$best"
}
