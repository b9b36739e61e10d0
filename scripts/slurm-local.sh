#!/usr/bin/env bash
# Runs a command against a throwaway single-node Slurm cluster on this machine.
#
#   scripts/slurm-local.sh [--skip-if-unavailable] [-- COMMAND [ARGS...]]
#
# Brings up a private munged, slurmctld and slurmd (everything under one temp directory, ports picked
# free), waits until `srun -n 2 hostname` works, runs COMMAND with SLURM_CONF exported so srun, sbatch
# and squeue talk to this cluster, then cancels what is left, stops the daemons and removes the temp
# directory on any exit. With no COMMAND it runs a self-check (srun, and sbatch --wait with steps).
#
# Exit status: COMMAND's; 1 for a refused command line or missing packages (0 with
# --skip-if-unavailable, after one "slurm-local: skipped: ..." line); 255 when the cluster did not
# come up within SLURM_LOCAL_TIMEOUT seconds (default 60).
#
# What works on Debian 12 (Slurm 22.05, munge 0.5.15), as root:
# - The node advertises SLURM_LOCAL_CPUS CPUs (default 8, or more on bigger machines) whatever the real
#   count is; SlurmdParameters=config_overrides keeps slurmd from draining the node for it. Tests need
#   4-5 tasks running at once to exercise real fan-out, and a 2-core runner would otherwise queue them.
#   Tasks are not pinned (task/none), so the kernel shares the real cores between them.
# - Memory is not a consumable resource (CR_CPU), so jobs never wait on --mem accounting.
# - Inside an sbatch job with --ntasks=N, up to N one-task steps run at the same time with
#   `srun -n1 --exclusive CMD &`: each takes one of the job's CPUs, and a step finding none free waits.
#   `srun --overlap` steps share CPUs with running steps, so any number start at once. A plain
#   `srun -n1 CMD &` is NOT enough: 22.05 hands such a step every CPU the job has on the node, and the
#   next one waits ("step creation temporarily disabled") until it ends, which deadlocks steps that
#   talk to each other.
# - 5 one-task steps of a `--ntasks=5` job, or `srun -n5`, run at once on the default 8 CPUs.
# - munged runs with its own key and socket in the temp directory (as root it needs no --force; the
#   socket's directory must be searchable by all); slurm.conf's AuthInfo points every daemon and
#   client at that socket, so the system munge is neither used nor touched.
# - Every run is a new cluster: job ids start again at 1 (the bring-up check takes it), so files
#   named after a job id may collide with a previous run's. `sbatch --wait` polls, which adds a second
#   or two per job.
# - Bring-up takes about 1.5 s, teardown well under a second unless jobs have to be killed.
set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly script_dir
readonly bringup_timeout=${SLURM_LOCAL_TIMEOUT:-60}

deadline=0        # value of SECONDS by which the cluster must be up
work=""           # temp directory holding config, keys, state, logs
munged_pid=""
slurmctld_pid=""
slurmd_pid=""
command_group=""  # process group of COMMAND and whatever it leaves running

say() { echo "slurm-local: $*" >&2; }

usage() {
  say "usage: slurm-local.sh [--skip-if-unavailable] [-- COMMAND [ARGS...]]"
  exit 1
}

# Packages come from Debian like every other dependency; a runner without them may skip on request.
install_packages() {
  local skip=$1
  if "$script_dir/install-deps.sh" slurm-wlm munge </dev/null >&2 &&
     command -v slurmctld slurmd munged mungekey srun sbatch >/dev/null; then
    return 0
  fi
  if ((skip)); then
    echo "slurm-local: skipped: slurm-wlm and munge could not be installed"
    exit 0
  fi
  say "slurm-wlm and munge could not be installed"
  exit 1
}

# A TCP port nobody listens on, outside the kernel's ephemeral range so outgoing connections made
# meanwhile cannot take it. Reads /proc so it needs no extra tools; a lost race is retried by start_slurm.
free_port() {
  local taken port
  taken=$(awk 'NR > 1 && $4 == "0A" { n = split($2, a, ":"); print a[n] }' /proc/net/tcp /proc/net/tcp6 \
          2>/dev/null | while read -r hex; do echo $((16#$hex)); done)
  for _ in $(seq 100); do
    port=$((20000 + RANDOM % 12000))
    grep -qx "$port" <<<"$taken" || { echo "$port"; return 0; }
  done
  say "no free TCP port found"
  return 1
}

# Polls CHECK (a command string) until it succeeds or the bring-up deadline passes.
wait_for() {
  local what=$1 check=$2
  while ! eval "$check" >/dev/null 2>&1; do
    if ((SECONDS >= deadline)); then
      say "$what not ready after ${bringup_timeout}s"
      return 1
    fi
    sleep 0.2
  done
}

start_munge() {
  # munged refuses a socket whose directory is not searchable by everyone.
  chmod 711 "$work"
  mkdir -m 755 "$work/munge"
  mungekey --create --keyfile="$work/munge.key"
  setsid munged --foreground --socket="$work/munge/munge.socket" \
    --key-file="$work/munge.key" --pid-file="$work/munged.pid" --seed-file="$work/munged.seed" \
    --log-file="$work/munged.log" </dev/null >"$work/munged.out" 2>&1 &
  munged_pid=$!
  wait_for munged "munge -n -S '$work/munge/munge.socket' | unmunge -S '$work/munge/munge.socket'"
}

write_config() {
  local node=$1 ctld_port=$2 slurmd_port=$3 user cpus mem
  user=$(id -un)
  cpus=${SLURM_LOCAL_CPUS:-$(( $(nproc) > 8 ? $(nproc) : 8 ))}
  mem=$(awk '/^MemTotal:/ { print int($2 / 1024) }' /proc/meminfo)
  : >"$work/plugstack.conf"   # keeps the system's SPANK plugins out
  cat >"$SLURM_CONF" <<EOF
ClusterName=local
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/munge.socket
PlugStackConfig=$work/plugstack.conf
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
MailProg=/bin/true
# No cgroups: they may be read-only or v1/v2-mixed on CI runners.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmdParameters=config_overrides
ReturnToService=2
# Cancelled jobs get 2 s between SIGTERM and SIGKILL, so teardown stays short.
KillWait=2
NodeName=$node NodeAddr=127.0.0.1 NodeHostname=$node CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=local Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
}

# True while PID, a process we started, still runs.
alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

# Waits until the node is idle; returns 2 when a daemon has died meanwhile.
wait_idle() {
  while [ "$(sinfo -h -N -o %t 2>/dev/null)" != idle ]; do
    alive "$slurmctld_pid" && alive "$slurmd_pid" || return 2
    if ((SECONDS >= deadline)); then
      say "node not idle after ${bringup_timeout}s"
      return 1
    fi
    sleep 0.1
  done
}

# Starts slurmctld and slurmd on fresh ports. Returns 2 when a daemon died during start-up (usually a
# port taken in the meantime) so the caller can retry with new ports.
start_slurm() {
  local node
  node=$(uname -n)
  node=${node%%.*}
  rm -rf "$work/state" "$work/spool"
  mkdir -p "$work/state" "$work/spool"
  write_config "$node" "$(free_port)" "$(free_port)"
  # setsid: a Ctrl-C aimed at COMMAND must not kill the daemons before stop_all has cancelled jobs.
  setsid slurmctld -D </dev/null >>"$work/slurmctld.out" 2>&1 &
  slurmctld_pid=$!
  setsid slurmd -D </dev/null >>"$work/slurmd.out" 2>&1 &
  slurmd_pid=$!
  wait_idle || return
  # The node being idle is not the whole path: a step also needs slurmd, slurmstepd and munge to agree.
  # </dev/null: srun would forward our standard input, which belongs to COMMAND.
  local left=$((deadline - SECONDS))
  if ! ((left > 0)) ||
     ! timeout "$left" srun -n 2 hostname </dev/null >/dev/null 2>"$work/srun-check.err"; then
    say "srun -n 2 hostname did not work within ${bringup_timeout}s: $(tail -n 1 "$work/srun-check.err")"
    return 1
  fi
  # Idle again, so COMMAND's first job need not wait for the check's job to finish completing.
  wait_idle
}

stop_pid() {
  local pid=$1
  alive "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do alive "$pid" || break; sleep 0.1; done
  alive "$pid" && kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
}

# Stops every process left in GROUP; like stop_pid, TERM first and KILL after 5 s.
stop_group() {
  local group=$1
  [ -n "$group" ] && kill -0 -- "-$group" 2>/dev/null || return 0
  kill -TERM -- "-$group" 2>/dev/null
  for _ in $(seq 50); do kill -0 -- "-$group" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL -- "-$group" 2>/dev/null
}

stop_daemons() {
  stop_pid "$slurmd_pid"
  stop_pid "$slurmctld_pid"
  slurmd_pid="" slurmctld_pid=""
}

show_logs() {
  local f
  for f in "$work"/slurmctld.log "$work"/slurmd.log "$work"/*.out; do
    [ -s "$f" ] || continue
    echo "--- ${f##*/}" >&2
    tail -n 20 "$f" >&2
  done
}

# PID and all its descendants, listed before any is killed so none escapes by being reparented.
process_tree() {
  local child
  echo "$1"
  for child in $(pgrep -P "$1"); do process_tree "$child"; done
}

# Cancels every job, stops the daemons and removes the temp directory; safe to run more than once.
stop_all() {
  local rc=$? pid
  set +e
  trap - EXIT INT TERM HUP
  stop_group "$command_group"
  if [ -n "$work" ] && alive "$slurmctld_pid" && alive "$slurmd_pid"; then
    # Jobs are killed by slurmd, so cancel while it still runs and give it a few seconds to finish.
    scancel --user="$(id -un)" 2>/dev/null
    for _ in $(seq 50); do
      [ -z "$(squeue -h -o %i 2>/dev/null)" ] && break
      sleep 0.2
    done
  fi
  stop_daemons
  stop_pid "$munged_pid"
  if [ -n "$work" ]; then
    # slurmstepd detaches from slurmd and gets a clean environment; the log file it keeps open marks
    # the ones this cluster started, should slurmd have died before it could kill them.
    local strays=() fd
    for pid in $(pgrep -x slurmstepd); do
      for fd in "/proc/$pid/fd/"*; do
        [[ $(readlink "$fd" 2>/dev/null) == "$work"/* ]] || continue
        mapfile -t -O "${#strays[@]}" strays < <(process_tree "$pid")
        break
      done
    done
    ((${#strays[@]})) && kill -KILL "${strays[@]}" 2>/dev/null
    rm -rf "$work"
  fi
  exit "$rc"
}

on_signal() {
  [ -n "$command_group" ] && kill -TERM -- "-$command_group" 2>/dev/null
  exit "$1"
}

self_check() {
  echo "slurm-local: srun -n 2 hostname"
  srun -n 2 hostname </dev/null
  # Three one-task steps that each wait (up to 20 s) until all three have started: the job passes
  # only if its steps really run at the same time, as cooperating workers must.
  local job_script="$work/self-check.sh"
  mkdir "$work/barrier"
  cat >"$job_script" <<'EOF'
#!/bin/sh
#SBATCH --ntasks=3 --time=1
step='touch "$BARRIER/$SLURM_STEP_ID"
  for _ in $(seq 200); do
    [ "$(ls "$BARRIER" | wc -l)" -ge 3 ] && { echo "step $SLURM_STEP_ID saw all 3 steps"; exit 0; }
    sleep 0.1
  done
  echo "step $SLURM_STEP_ID ran alone"; exit 1'
srun -n1 --exclusive sh -c "$step" & a=$!
srun -n1 --exclusive sh -c "$step" & b=$!
srun -n1 --exclusive sh -c "$step" & c=$!
wait $a && wait $b && wait $c
EOF
  echo "slurm-local: sbatch --wait with 3 concurrent steps"
  local rc=0
  BARRIER=$work/barrier sbatch --wait --output="$work/self-check.out" "$job_script" || rc=$?
  cat "$work/self-check.out"
  ((rc == 0)) || { say "self-check job failed"; return 1; }
}

main() {
  local skip=0
  while (($#)); do
    case $1 in
      --skip-if-unavailable) skip=1; shift ;;
      --) shift; break ;;
      *) usage ;;
    esac
  done

  install_packages "$skip"

  trap stop_all EXIT
  trap 'on_signal 130' INT
  trap 'on_signal 143' TERM
  trap 'on_signal 129' HUP

  local started=$SECONDS
  deadline=$((SECONDS + bringup_timeout))
  work=$(mktemp -d "${TMPDIR:-/tmp}/slurm-local.XXXXXX")
  export SLURM_CONF=$work/slurm.conf
  start_munge || { show_logs; exit 255; }
  local attempt rc
  for attempt in 1 2 3; do
    rc=0
    start_slurm || rc=$?
    ((rc == 2)) || break
    say "a daemon exited during start-up (attempt $attempt), retrying on other ports"
    stop_daemons
  done
  if ((rc != 0)); then
    show_logs
    exit 255
  fi
  say "cluster up in $((SECONDS - started))s (SLURM_CONF=$SLURM_CONF)"

  if (($# == 0)); then
    self_check
    exit
  fi
  # In the background so a signal reaches our trap at once instead of after COMMAND ends; in its own
  # process group so an srun it left behind is stopped too. <&0 keeps COMMAND's standard input,
  # which bash would otherwise replace with /dev/null.
  setsid "$@" <&0 &
  command_group=$!
  local status=0
  wait "$command_group" || status=$?
  exit "$status"
}

main "$@"
