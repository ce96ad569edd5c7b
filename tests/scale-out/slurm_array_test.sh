#!/usr/bin/env bash
# The Slurm array job of docs/scale-out.md on a real one-node cluster: munged, slurmctld and
# slurmd on localhost with a configuration, ports, state and spool folders of their own under a
# scratch folder. It checks that
#   1. `sbatch --array=0-3 --wait` of the documented script gives exactly the targets of one run
#      (same names, same bytes), and the tasks' concatenated reports hold each file once;
#   2. a task cancelled mid-run (`scancel` of one array element) and requeued finishes its share
#      with `--resume`, again giving exactly one run's targets, each file converted once.
# Every daemon it started is stopped by its PID. Where Slurm cannot start (not root, packages
# missing, daemons not coming up) it skips with exit status 77.
# Usage: slurm_array_test.sh VTCONVERT DOCS/scale-out.md   (VT_KEEP=1 keeps the scratch folder)
set -euo pipefail

vtconvert=$(realpath "$1")
doc=$2
skip() {
    echo "SKIP: $*"
    exit 77
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[[ $(id -u) -eq 0 ]] || skip "the daemons run as root here; run as root to test Slurm"
for tool in munged munge slurmctld slurmd sbatch squeue scancel scontrol sinfo python3; do
    command -v "$tool" >/dev/null ||
        skip "$tool is missing (scripts/install-deps.sh installs slurm-wlm and munge)"
done

work=$(mktemp -d /tmp/vt-slurm-XXXXXX)
# munged wants every folder above its socket open to all (execute), and no folder that others
# may write.
chmod 0755 "$work"
pids=()
jobs_submitted=()
cleanup() {
    local status=$?
    set +e
    for job in "${jobs_submitted[@]}"; do scancel "$job" 2>/dev/null; done
    # Daemons last started are stopped first: slurmd, slurmctld, then munged.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[i]}" 2>/dev/null
        for _ in $(seq 100); do
            kill -0 "${pids[i]}" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "${pids[i]}" 2>/dev/null
        wait "${pids[i]}" 2>/dev/null
    done
    if [[ $status -ne 0 && $status -ne 77 ]]; then
        for log in "$work"/log/*.log "$work"/out/*.txt; do
            [[ -f $log ]] && { echo "--- $log"; tail -n 30 "$log"; }
        done
    fi
    if [[ ${VT_KEEP:-} == 1 ]]; then echo "kept $work"; else rm -rf "$work"; fi
    exit $status
}
trap cleanup EXIT

# Two free TCP ports on localhost, for slurmctld and slurmd.
read -r ctld_port slurmd_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')

# munge: a key, a socket, a pid file and a seed of its own.
mkdir -p "$work"/munge/{etc,run,lib} "$work"/log "$work"/state "$work"/spool "$work"/out
chmod 0700 "$work"/munge/etc "$work"/munge/lib
chmod 0755 "$work"/munge "$work"/munge/run
head -c 1024 /dev/urandom >"$work/munge/etc/munge.key"
chmod 0600 "$work/munge/etc/munge.key"
socket="$work/munge/run/munge.socket"
munged --foreground --key-file="$work/munge/etc/munge.key" --socket="$socket" \
    --pid-file="$work/munge/run/munged.pid" --seed-file="$work/munge/lib/munged.seed" \
    >"$work/log/munged.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    munge -S "$socket" -n >/dev/null 2>&1 && break
    sleep 0.1
done
munge -S "$socket" -n | unmunge -S "$socket" >/dev/null 2>&1 ||
    skip "munged did not start: $(tail -n 3 "$work/log/munged.log")"

# Slurm: every path absolute (the daemons change to / when they start).
host=$(hostname -s)
conf="$work/slurm.conf"
cat >"$conf" <<EOF
ClusterName=vtscale
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
NodeName=$host NodeAddr=127.0.0.1 CPUs=2 RealMemory=1000 State=UNKNOWN
PartitionName=main Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$conf
up_since=$SECONDS
slurmctld -D -f "$conf" >"$work/log/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$conf" -N "$host" >"$work/log/slurmd.out" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
    [[ $(sinfo -h -o %T 2>/dev/null) == idle ]] && break
    sleep 0.1
done
[[ $(sinfo -h -o %T 2>/dev/null) == idle ]] ||
    skip "the Slurm node did not come up: $(tail -n 3 "$work"/log/slurm*.log 2>/dev/null)"
echo "cluster up in $((SECONDS - up_since)) s: slurmctld on port $ctld_port, slurmd on $slurmd_port"

# About 60 pictures in three folders: PNGs whose rows differ from picture to picture, large enough
# that a task takes a few seconds, so that one can be cancelled mid-run.
python3 - "$work/shared/photos" <<'EOF'
import os, struct, sys, zlib
def png(path, w, h, seed):
    rows = []
    for k in range(16):
        row = bytes(((x * (k + 1) + seed * 7) ^ (x >> 3)) & 255 for x in range(w * 3))
        rows.append(b"\0" + row)
    raw = b"".join(rows[(y * (seed % 5 + 1) + y // 64) % 16] for y in range(h))
    chunk = lambda t, d: struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d))
    data = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 1)) + chunk(b"IEND", b""))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
for i in range(60):
    png(f"{sys.argv[1]}/{['2024', '2025', '2025/july'][i % 3]}/photo-{i:02d}.png", 1600, 1200, i)
EOF

export VANTREL_DATA_ROOT="$work/data"
export PATH="$(dirname "$vtconvert"):$PATH"
"$vtconvert" -q -r -f .jpg --threads 2 "$work/shared/photos" "$work/one"
total=$(find "$work/one" -type f | wc -l)
[[ $total -eq 60 ]] || fail "one run wrote $total targets of 60"

# The array job exactly as documented, its paths under the scratch folder. The command line
# sets what differs on this one-node cluster: four tasks of one processor each.
awk '/^## Slurm array job/ {f = 1; next} f && /^    / {print substr($0, 5); s = 1; next} s {exit}' \
    "$doc" | sed "s|/shared/|$work/shared/|g" >"$work/convert.sbatch"
grep -q -- '--shard "$SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT"' "$work/convert.sbatch" ||
    fail "no array job script found in $doc"
submit() { # submit TAG [sbatch options]: the documented job, reports into reports-TAG
    local tag=$1
    shift
    sed -e "s|$work/shared/reports/|$work/shared/reports-$tag/|g" \
        -e "s|$work/shared/web|$work/shared/web-$tag|g" \
        "$work/convert.sbatch" >"$work/convert-$tag.sbatch"
    mkdir -p "$work/shared/reports-$tag"
    sbatch --array=0-3 --cpus-per-task=1 --output="$work/out/$tag-%a.txt" "$@" \
        "$work/convert-$tag.sbatch"
}
converted() { # the sources with a "converted" line in the given reports, one line each time
    cat "$@" 2>/dev/null | sed -n 's/.*"source":"\([^"]*\)".*"outcome":"converted".*/\1/p'
}
same_as_one_run() { # same_as_one_run TARGET: the same names and the same bytes as one run
    diff -r "$work/one" "$1" >"$work/diff.txt" ||
        fail "$1 differs from one run: $(head -n 5 "$work/diff.txt")"
}
once_each() { # once_each REPORT...: every picture converted exactly once in all
    local lines unique
    lines=$(converted "$@" | wc -l)
    unique=$(converted "$@" | sort -u | wc -l)
    [[ $lines -eq 60 && $unique -eq 60 ]] ||
        fail "the reports hold $lines converted lines for $unique pictures, not 60 once each"
}

# 1. The whole job in four shares, waited for.
started=$SECONDS
out=$(submit all --wait) || fail "sbatch --wait: $out"
jobs_submitted+=("$(sed -n 's/^Submitted batch job //p' <<<"$out")")
same_as_one_run "$work/shared/web-all"
once_each "$work"/shared/reports-all/report-*.jsonl
shares=$(for i in 0 1 2 3; do converted "$work/shared/reports-all/report-$i.jsonl" | wc -l; done |
    paste -sd+)
echo "array job: shares $shares = $total targets, byte-identical to one run" \
    "($((SECONDS - started)) s)"

# 2. Task 1 cancelled after its first picture, requeued, and resumed from its own report.
started=$SECONDS
job=$(submit cut --parsable)
jobs_submitted+=("$job")
report="$work/shared/reports-cut/report-1.jsonl"
for _ in $(seq 600); do
    [[ -n $(converted "$report") ]] && break
    sleep 0.05
done
scancel "${job}_1"
for _ in $(seq 200); do
    [[ $(squeue -h -t all -j "${job}_1" -o %T) == CANCELLED ]] && break
    sleep 0.1
done
[[ $(squeue -h -t all -j "${job}_1" -o %T) == CANCELLED ]] || fail "task 1 was not cancelled"
before=$(converted "$report" | wc -l)
scontrol requeue "${job}_1"
# A requeued job waits its turn for two minutes; the test has no reason to.
scontrol update jobid="${job}_1" StartTime=now
for _ in $(seq 1200); do
    [[ -z $(squeue -h -j "$job" -o %T) ]] && break
    sleep 0.1
done
states=$(squeue -h -t all -j "$job" -o %T | sort | uniq -c | xargs)
[[ $states == "4 COMPLETED" ]] || fail "after the requeue the tasks are: $states"
after=$(converted "$report" | wc -l)
share=$(converted "$work/shared/reports-all/report-1.jsonl" | wc -l)
((before >= 1 && before < share)) ||
    fail "task 1 was cancelled after $before of its $share pictures, not mid-run"
((after == share)) || fail "task 1 resumed to $after converted pictures of its $share"
same_as_one_run "$work/shared/web-cut"
once_each "$work"/shared/reports-cut/report-*.jsonl
echo "cancelled task 1 after $before of $share pictures; requeued, it resumed the other" \
    "$((share - before)) ($((SECONDS - started)) s)"
echo "OK"
