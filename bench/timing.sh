# Sourced by the comparison scripts. The time is the wall time, or with TIMING=cpu the
# processor time (user + system, the command's children included): on a machine that others
# share, that one still compares the work done, though not what threads gain.

# time_once COMMAND... prints the time of one run into a fresh "$work/out"; a command that fails
# is named on standard error.
time_once() {
    local t
    rm -rf "$work/out" && mkdir -p "$work/out"
    TIMEFORMAT='%R %U %S'
    t=$({ time "$@" >/dev/null 2>&1; } 2>&1) || echo "failed: $*" >&2
    echo "$t" | awk -v cpu="${TIMING:-wall}" '{ print (cpu == "cpu" ? $2 + $3 : $1) }'
}

# best_of COMMAND... prints the best time in seconds of $runs runs.
best_of() {
    local best= t
    for ((i = 0; i < runs; i++)); do
        t=$(time_once "$@")
        best=$(echo "$t ${best:-}" | awk '{ if ($2 == "" || $1 < $2) print $1; else print $2 }')
    done
    echo "$best"
}

# median TIME... prints the median (the lower middle one of an even count).
median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
