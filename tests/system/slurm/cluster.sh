#!/usr/bin/env bash
# A private single-node Slurm cluster for the tests, run as root: its own munged (own key and
# socket), slurmctld and slurmd, with every key, socket, state, log and pid file under one
# state directory, on ports nothing else listens on. It never touches /etc/munge, /etc/slurm
# or a cluster already running on the machine, and it stops only the daemons whose pid files
# lie in its state directory, by those process ids.
#
# Usage: cluster.sh check              exits 77 saying why when no cluster can run here
#        cluster.sh start <state_dir>  starts one; its commands need SLURM_CONF=<state_dir>/slurm.conf
#        cluster.sh stop <state_dir>   cancels its jobs and stops it; fine when it is down or gone
#        cluster.sh selftest           starts one, runs an array job and a job that depends on
#                                      it, both ways they can end, and stops it
# A started cluster lives no longer than the process that started it: a watchdog stops it
# should that process die without stopping it (killed at a test's timeout, say).
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin
here=$(cd "$(dirname "$0")" && pwd)

check_usable() {
  if [ "$(id -u)" != 0 ]; then
    echo "skipped: the Slurm and munge daemons of a test cluster run as root"
    return 77
  fi
  local program missing=()
  for program in munged munge unmunge slurmctld slurmd sbatch sinfo squeue scontrol scancel; do
    command -v "$program" >/dev/null || missing+=("$program")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "skipped: ${missing[*]} not installed (Debian packages slurm-wlm and munge)"
    return 77
  fi
}

# Two TCP ports that no socket of the machine holds, from a random point on: the controller's
# and the node daemon's.
free_ports() {
  local used port found=0
  used=" $(awk 'FNR > 1 { split($2, address, ":"); print address[2] }' /proc/net/tcp /proc/net/tcp6 2>/dev/null |
    while read -r hex; do echo $((16#$hex)); done | tr '\n' ' ') "
  port=$((20000 + RANDOM % 30000))
  while [ "$found" -lt 2 ]; do
    case $used in *" $port "*) ;; *) echo "$port" && found=$((found + 1)) ;; esac
    port=$((port + 1))
  done
}

# Whether process $2 lives and was started on state directory $1: a pid file left by a
# daemon that died must not make us signal whatever process has its id now.
ours() {
  local cmdline
  cmdline=$(tr '\0' ' ' <"/proc/$2/cmdline" 2>/dev/null) || return 1
  [[ $cmdline == *"$1/"* ]]
}

pid_in() { # <pid file>: the id it holds, or nothing
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 0
  [[ $pid =~ ^[0-9]+$ ]] && echo "$pid"
  return 0
}

stop_daemon() { # <state dir> <name> <pid file>
  local pid tries
  pid=$(pid_in "$3")
  [ -n "$pid" ] && ours "$1" "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((tries = 0; tries < 100; tries++)); do
    ours "$1" "$pid" || return 0
    sleep 0.2
  done
  echo "$2 (pid $pid) still runs 20 s after SIGTERM; killing it" >&2
  kill -KILL "$pid" 2>/dev/null || true
  for ((tries = 0; tries < 25; tries++)); do
    ours "$1" "$pid" || return 0
    sleep 0.2
  done
  echo "$2 (pid $pid) survived SIGKILL" >&2
  return 1
}

# Jobs go first, while the daemons that end them still run: a job step outlives a stopped
# slurmd, and could not be told from other processes afterwards.
cancel_jobs() { # <state dir>
  local pid jobs
  pid=$(pid_in "$1/slurmctld.pid")
  [ -n "$pid" ] && ours "$1" "$pid" || return 0
  export SLURM_CONF=$1/slurm.conf
  jobs=$(timeout 10 squeue -h -o %A 2>/dev/null | sort -u) || return 0
  [ -n "$jobs" ] || return 0
  # shellcheck disable=SC2086 # one job id a word
  timeout 10 scancel $jobs 2>/dev/null || true
  wait_for 30 "the end of cancelled jobs ${jobs//$'\n'/ }" queue_empty || true
}

stop_cluster() { # <state dir>
  [ -d "$1" ] || return 0
  local dir status=0
  dir=$(cd "$1" && pwd)
  rm -f "$dir/running"
  cancel_jobs "$dir"
  stop_daemon "$dir" slurmd "$dir/slurmd.pid" || status=1
  stop_daemon "$dir" slurmctld "$dir/slurmctld.pid" || status=1
  stop_daemon "$dir" munged "$dir/munge/munged.pid" || status=1
  return "$status"
}

show_logs() { # <state dir>
  local log
  for log in "$1"/munge/munged.log "$1"/log/*; do
    [ -s "$log" ] || continue
    echo "---- last lines of $log"
    tail -n 40 "$log"
  done
}

wait_for() { # <seconds> <what> <command...>: polls the command until it succeeds
  local limit=$1 what=$2 deadline=$((SECONDS + $1))
  shift 2
  until "$@" >/dev/null 2>&1; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "$what did not happen within $limit s" >&2
      return 1
    fi
    sleep 0.2
  done
}

node_idle() { [ "$(timeout 10 sinfo -h -o %T)" = idle ]; }
queue_empty() { [ -z "$(timeout 10 squeue -h -o %A)" ]; }

# Stops the cluster once its owner has died, unless the cluster was stopped first. Detached
# twice over, so that whoever kills the owner's process tree does not take it along.
watch_owner() { # <state dir> <owner pid>
  while [ -e "$1/running" ] && kill -0 "$2" 2>/dev/null; do
    sleep 2
  done
  [ ! -e "$1/running" ] || stop_cluster "$1"
}

start_cluster() { # <state dir> <owner pid>
  local dir ports
  mkdir -p "$1"
  dir=$(cd "$1" && pwd)
  if [ -e "$dir/running" ]; then
    echo "a cluster was started in $dir and not stopped: stop it first" >&2
    return 1
  fi
  mkdir -p "$dir/munge" "$dir/state" "$dir/spool" "$dir/log"
  # munged serves its socket only when every directory above it is searchable by all.
  chmod 0755 "$dir"
  if [ ! -s "$dir/munge/munge.key" ]; then
    head -c 1024 /dev/urandom >"$dir/munge/munge.key"
  fi
  chmod 0400 "$dir/munge/munge.key"
  mapfile -t ports < <(free_ports)
  sed -e "s|@HOST@|$(hostname -s)|g" -e "s|@DIR@|$dir|g" \
    -e "s|@CTLD_PORT@|${ports[0]}|g" -e "s|@SLURMD_PORT@|${ports[1]}|g" \
    "$here/slurm.conf.template" >"$dir/slurm.conf"
  # slurmd reads cgroup.conf from the directory of slurm.conf.
  cp "$here/cgroup.conf" "$dir/cgroup.conf"
  export SLURM_CONF=$dir/slurm.conf

  touch "$dir/running"
  (setsid "$here/cluster.sh" watch "$dir" "$2" </dev/null >/dev/null 2>&1 &)

  local socket=$dir/munge/munge.socket
  if ! {
    munged --socket="$socket" --key-file="$dir/munge/munge.key" --log-file="$dir/munge/munged.log" \
      --pid-file="$dir/munge/munged.pid" --seed-file="$dir/munge/munged.seed" \
      </dev/null >"$dir/log/munged.start" 2>&1 &&
      wait_for 10 "munged's pid file" test -s "$dir/munge/munged.pid" &&
      wait_for 10 "a munge credential round trip" sh -c "munge -n -S '$socket' | unmunge -S '$socket'" &&
      slurmctld -f "$dir/slurm.conf" </dev/null >"$dir/log/slurmctld.start" 2>&1 &&
      wait_for 10 "slurmctld's pid file" test -s "$dir/slurmctld.pid" &&
      slurmd -f "$dir/slurm.conf" </dev/null >"$dir/log/slurmd.start" 2>&1 &&
      wait_for 10 "slurmd's pid file" test -s "$dir/slurmd.pid" &&
      wait_for 60 "the node turning idle" node_idle
  }; then
    echo "the Slurm cluster in $dir did not come up" >&2
    show_logs "$dir" >&2
    stop_cluster "$dir" || true
    return 1
  fi
}

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

now() { date +%s.%N; }
since() { awk -v start="$1" -v end="$(now)" 'BEGIN { printf "%.1f s", end - start }'; }

# The two ways a sharded count ends on Slurm: every array task succeeds and the job that
# depends on them runs, or a task fails and the dependent job is cancelled, never run.
selftest() {
  check_usable || return
  local dir start array merge status state
  failures=0
  dir=$(mktemp -d)
  chmod 0755 "$dir" # see start_cluster
  # shellcheck disable=SC2064 # the directory is fixed now
  trap "stop_cluster '$dir/cluster'; rm -rf '$dir'" EXIT
  start=$(now)
  start_cluster "$dir/cluster" $$
  echo "cluster up in $(since "$start")"
  mkdir "$dir/jobs"
  cd "$dir/jobs"

  # Slurm hands the submitter's environment to the jobs: a locale chosen with LOCPATH and
  # LC_ALL reaches every task.
  export LOCPATH=/usr/lib/locale LC_ALL=C.UTF-8 QUOVENT_PROBE=probe
  start=$(now)
  array=$(sbatch --parsable --array=0-3 --output='task_%a.out' \
    --wrap 'echo "task $SLURM_ARRAY_TASK_ID $LOCPATH $LC_ALL $QUOVENT_PROBE"')
  status=0
  merge=$(timeout 120 sbatch --wait --parsable --dependency="afterok:$array" --kill-on-invalid-dep=yes \
    --output=merge.out --wrap 'cat task_0.out task_1.out task_2.out task_3.out' 2>wait.err) || status=$?
  echo "success: array job $array and dependent job $merge took $(since "$start");" \
    "sbatch --wait printed '$merge' and '$(cat wait.err)', returned $status"
  [ "$status" = 0 ] || fail "sbatch --wait returned $status for a job that ran"
  printf 'task %s /usr/lib/locale C.UTF-8 probe\n' 0 1 2 3 >expected.out
  cmp -s expected.out merge.out ||
    { fail "the dependent job's output differs from the tasks' own:"; diff expected.out merge.out || true; }

  start=$(now)
  array=$(sbatch --parsable --array=0-3 --output='fail_%a.out' --wrap '[ "$SLURM_ARRAY_TASK_ID" != 2 ] || exit 3')
  status=0
  merge=$(timeout 120 sbatch --wait --parsable --dependency="afterok:$array" --kill-on-invalid-dep=yes \
    --output=never.out --wrap 'echo ran' 2>wait.err) || status=$?
  state=$(scontrol -o show job "$merge" | grep -o 'JobState=[A-Z_]* Reason=[A-Za-z_]*' || true)
  echo "failure: array job $array and dependent job $merge took $(since "$start");" \
    "sbatch --wait printed '$merge' and '$(cat wait.err)', returned $status; $state"
  [ "$state" = "JobState=CANCELLED Reason=DependencyNeverSatisfied" ] ||
    fail "the job depending on a failed task was not cancelled: $state"
  [ ! -e never.out ] || fail "the job depending on a failed task ran"
  local tasks
  tasks=$(squeue -h -t all -j "$array" -o '%K %T' | sort -n)
  echo "$tasks" | grep -q '^2 FAILED' || fail "task 2 not listed as failed: $tasks"
  echo "array tasks after the run (squeue -t all -o '%K %T'): $(echo "$tasks" | tr '\n' ';')"

  [ "$failures" = 0 ] || { show_logs "$dir/cluster"; return 1; }
  echo "Slurm cluster self-test passed"
}

case ${1-} in
  check) check_usable ;;
  start) [ $# = 2 ] || { echo "usage: $0 start <state_dir>" >&2; exit 2; }
    start_cluster "$2" "$PPID" ;;
  stop) [ $# = 2 ] || { echo "usage: $0 stop <state_dir>" >&2; exit 2; }
    stop_cluster "$2" ;;
  watch) watch_owner "$2" "$3" ;;
  selftest) selftest ;;
  *) sed -n '/^# Usage:/,/^set /{/^set /!p}' "$0" >&2; exit 2 ;;
esac
