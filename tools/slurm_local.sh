#!/usr/bin/env bash
# A one-node Slurm on 127.0.0.1 for the tests and for trying the Slurm batch back end (docs/batch.md):
#   tools/slurm_local.sh start      installs the packages if missing, starts munged, slurmctld and slurmd
#   tools/slurm_local.sh stop       ends exactly the processes that start began (by their pid files)
#   tools/slurm_local.sh env        prints the export line of SLURM_CONF
#
# Everything lives in one directory, $BRIX_SLURM_LOCAL_DIR (default /tmp/brix-slurm-<uid>): its own munge key
# and socket, slurm.conf, state, spool, logs and pid files. The ports are $BRIX_SLURM_PORT (controller,
# default 16817) and the one after it (node daemon), so it does not meet a Slurm the machine runs already.
# Clients find it through SLURM_CONF=<dir>/slurm.conf. The daemons run as root (the node daemon starts jobs).
set -euo pipefail
dir=${BRIX_SLURM_LOCAL_DIR:-${TMPDIR:-/tmp}/brix-slurm-$(id -u)}
port=${BRIX_SLURM_PORT:-16817}
node=brixnode

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

install_packages() {
    local missing=()
    for p in slurmctld slurmd slurm-client munge; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# True while the process of a pid file runs.
# True while the process of a pid file runs (an exited process that nobody reaped yet does not count).
running() {
    [ -s "$1" ] || return 1
    local state
    state=$(awk '{print $3}' "/proc/$(cat "$1")/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

write_conf() {
    # At least eight job slots, as many as the local back end's workers, however few cores the machine has.
    local cpus
    cpus=$(nproc)
    [ "$cpus" -ge 8 ] || cpus=8
    cat >"$dir/slurm.conf" <<EOF
ClusterName=brixlocal
MailProg=/bin/true
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SwitchType=switch/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
# Start a job as soon as it is submitted or a slot frees, rather than gathering submissions for a few seconds.
SchedulerParameters=batch_sched_delay=0,sched_min_interval=0
SlurmdParameters=config_overrides
ReturnToService=2
MinJobAge=300
SlurmdTimeout=30
InactiveLimit=0
KillWait=5
NodeName=$node NodeAddr=127.0.0.1 NodeHostname=$(hostname) CPUs=$cpus State=UNKNOWN
PartitionName=brix Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
}

start() {
    install_packages
    mkdir -p "$dir"/{munge,state,spool,log}
    chmod 711 "$dir/munge"
    # Slurm refuses a configuration when a pid file of ours says the daemons still run.
    if running "$dir/slurmctld.pid" || running "$dir/slurmd.pid" || running "$dir/munged.pid"; then
        echo "slurm_local: already running in $dir (tools/slurm_local.sh stop first)" >&2
        exit 1
    fi
    [ -s "$dir/munge/munge.key" ] || {
        dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
        chmod 400 "$dir/munge/munge.key"
    }
    write_conf
    munged --force --socket="$dir/munge/munge.socket" --key-file="$dir/munge/munge.key" \
        --pid-file="$dir/munged.pid" --log-file="$dir/log/munged.log" --seed-file="$dir/munge/munge.seed"
    export SLURM_CONF="$dir/slurm.conf"
    slurmctld -f "$SLURM_CONF" -i
    slurmd -f "$SLURM_CONF" -N "$node"
    # The node is idle once the controller has heard from its daemon.
    for _ in $(seq 1 150); do
        running "$dir/slurmctld.pid" || break
        if [ "$(timeout 5 sinfo -h -n "$node" -o %t 2>/dev/null)" = "idle" ]; then
            echo "slurm_local: one node idle; export SLURM_CONF=$SLURM_CONF"
            return 0
        fi
        sleep 0.2
    done
    echo "slurm_local: the node did not become idle (logs in $dir/log)" >&2
    stop
    exit 1
}

stop() {
    local pids=()
    for name in slurmd slurmctld munged; do
        if running "$dir/$name.pid"; then
            pid=$(cat "$dir/$name.pid")
            kill "$pid" 2>/dev/null || true
            pids+=("$pid")
        fi
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 1 100); do
            [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" ] || break
            [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" = Z ] && break
            sleep 0.1
        done
        [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" = S ] && kill -KILL "$pid" 2>/dev/null || true
    done
    rm -f "$dir"/{slurmd,slurmctld,munged}.pid
    return 0
}

case "${1:-}" in
start) start ;;
stop) stop ;;
env) echo "export SLURM_CONF=$dir/slurm.conf" ;;
*)
    echo "usage: tools/slurm_local.sh start|stop|env" >&2
    exit 2
    ;;
esac
