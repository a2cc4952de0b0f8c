#!/usr/bin/env bash
# A private Slurm cluster for the tests, run as root on this one machine: its own munged (own
# key and socket), slurmctld and one slurmd a node, with every key, socket, state, log and pid
# file under one state directory, on ports nothing else listens on. It never touches
# /etc/munge, /etc/slurm or a cluster already running on the machine, and it stops only the
# daemons whose pid files lie in its state directory, by those process ids, and the job steps
# whose sockets lie there.
#
# Usage: cluster.sh check              exits 77 saying why when no cluster can run here
#        cluster.sh start <state_dir>  starts one; its commands need SLURM_CONF=<state_dir>/slurm.conf
#        cluster.sh stop <state_dir>   cancels its jobs and stops it; fine when it is down or gone
#        cluster.sh kill-node <state_dir> <node>
#                                      loses a node: SIGKILL to its slurmd, its job steps and
#                                      their processes; prints the time and what it killed
#        cluster.sh start-node <state_dir> <node>
#                                      starts a lost node again; returns once it takes jobs
#        cluster.sh stop-controller <state_dir>
#                                      stops slurmctld alone, a controller gone away: the
#                                      nodes stay, and the jobs in its saved state
#        cluster.sh selftest           starts one, runs an array job and a job that depends on
#                                      it, both ways they can end, and stops it
# SLURM_TEST_NODES=<n> at start gives n nodes, n1 to nn, of one CPU each, so that an array
# job runs one task a node; the default is one node of two CPUs. SLURM_TEST_MAX_ARRAY_SIZE=<n>
# and SLURM_TEST_MAX_JOB_COUNT=<n> at start set the site's limits on an array's indices and on
# the jobs the controller holds (Slurm's defaults otherwise: 1001 and 10000).
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

# <count> TCP ports that no socket of the machine holds, from a random point on: the
# controller's, then one for each node daemon.
free_ports() {
  local used port found=0
  used=" $(awk 'FNR > 1 { split($2, address, ":"); print address[2] }' /proc/net/tcp /proc/net/tcp6 2>/dev/null |
    while read -r hex; do echo $((16#$hex)); done | tr '\n' ' ') "
  port=$((20000 + RANDOM % 30000))
  while [ "$found" -lt "$1" ]; do
    case $used in *" $port "*) ;; *) echo "$port" && found=$((found + 1)) ;; esac
    port=$((port + 1))
  done
}

# Whether process $2 lives and was started on state directory $1 (and, given $3, with that
# text in its command line): a pid file left by a daemon that died must not make us signal
# whatever process has its id now.
ours() {
  local cmdline
  cmdline=$(tr '\0' ' ' 2>/dev/null <"/proc/$2/cmdline") || return 1
  [[ $cmdline == *"$1/"* && $cmdline == *"${3-}"* ]]
}

pid_in() { # <pid file>: the id it holds, or nothing
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 0
  [[ $pid =~ ^[0-9]+$ ]] && echo "$pid"
  return 0
}

stop_daemon() { # <state dir> <name> <pid file> [<command line text>]
  local pid tries
  pid=$(pid_in "$3")
  [ -n "$pid" ] && ours "$1" "$pid" "${4-}" || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((tries = 0; tries < 100; tries++)); do
    ours "$1" "$pid" "${4-}" || return 0
    sleep 0.2
  done
  echo "$2 (pid $pid) still runs 20 s after SIGTERM; killing it" >&2
  kill -KILL "$pid" 2>/dev/null || true
  for ((tries = 0; tries < 25; tries++)); do
    ours "$1" "$pid" "${4-}" || return 0
    sleep 0.2
  done
  echo "$2 (pid $pid) survived SIGKILL" >&2
  return 1
}

nodes_of() { # <state dir>: the names of its nodes, one a line, as its slurm.conf lists them
  sed -n 's/^NodeName=\([^ ]*\) .*/\1/p' "$1/slurm.conf" 2>/dev/null
}

slurmd_pid_file() { echo "$1/slurmd.$2.pid"; } # <state dir> <node>; SlurmdPidFile's %n

# slurmd's command line ends with -N and its node: a pid file of one node, left by a killed
# daemon, must not lead to another node's daemon (n1's to n10's, say).
slurmd_line() { printf '%s' "-N $1 "; } # <node>: as ours sees it, each argument followed by a space
slurmd_running() { # <state dir> <node>
  local pid
  pid=$(pid_in "$(slurmd_pid_file "$1" "$2")")
  [ -n "$pid" ] && ours "$1" "$pid" "$(slurmd_line "$2")"
}

# The processes holding a unix socket under <path>: a slurmstepd listens on
# <spool>/<node>_<job>.<step> and names neither the state directory nor its node in its
# command line, nor is it a child of its slurmd.
socket_holders() { # <path>
  local inodes
  inodes=$(awk -v path="$1" 'index($NF, path) == 1 { print "socket:[" $7 "]" }' /proc/net/unix)
  [ -n "$inodes" ] || return 0
  find /proc/[0-9]*/fd -maxdepth 1 -type l -printf '%h %l\n' 2>/dev/null |
    awk 'NR == FNR { wanted[$1] = 1; next } $2 in wanted { split($1, path, "/"); print path[3] }' \
      <(echo "$inodes") - | sort -un
}

# <pid>...: these processes and every process below them.
with_descendants() {
  ps -e -o pid=,ppid= | awk -v roots=" $* " '
    { parent[$1] = $2 }
    END {
      for (pid in parent)
        for (p = pid; p in parent; p = parent[p]) if (index(roots, " " p " ")) { print pid; break }
    }' | sort -n
}

# <pid>...: whether none of them lives on (a zombie holds nothing).
all_gone() {
  local pid
  for pid in "$@"; do
    [ ! -d "/proc/$pid" ] || grep -q '^State:.Z' "/proc/$pid/status" 2>/dev/null || return 1
  done
}

# <state dir> <node>: the job steps running on the node, and their job processes.
node_jobs() {
  local steps
  steps=$(socket_holders "$1/spool/$2/")
  # shellcheck disable=SC2086 # one process id a word
  [ -z "$steps" ] || with_descendants $steps
}

# A node that dies takes its job steps along at the same instant: its slurmd is frozen first
# so that it launches nothing more, then the steps and what runs below them, looked for again
# until no new process turns up, so that none finishes or forks between the look and the kill.
kill_node() { # <state dir> <node>
  local slurmd processes again tries steps
  slurmd=$(pid_in "$(slurmd_pid_file "$1" "$2")")
  if slurmd_running "$1" "$2"; then kill -STOP "$slurmd"; else slurmd=; fi
  processes=$(node_jobs "$1" "$2")
  for ((tries = 0; tries < 10; tries++)); do
    # shellcheck disable=SC2086 # one process id a word
    [ -z "$processes" ] || kill -STOP $processes 2>/dev/null || true
    again=$(node_jobs "$1" "$2")
    [ "$again" != "$processes" ] || break
    processes=$again
  done
  # <node>_<job>.<step>, the batch script's step numbered 0xfffffffb.
  steps=$(find "$1/spool/$2" -maxdepth 1 -type s -name "$2_*" -printf '%f\n' 2>/dev/null |
    while read -r socket; do
      [ -z "$(socket_holders "$1/spool/$2/$socket")" ] || echo "${socket#"$2"_}"
    done | sed 's/\.4294967291$/.batch/' | paste -sd ' ')
  # shellcheck disable=SC2086 # one process id a word
  kill -KILL $slurmd $processes 2>/dev/null || true
  # shellcheck disable=SC2086
  wait_for 10 "the end of the killed processes of $2" all_gone $slurmd $processes || return 1
  echo "$2 killed at $(now): slurmd ${slurmd:-(not running)}, job steps ${steps:-(none)}," \
    "processes ${processes//$'\n'/ }"
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
  local dir node status=0
  dir=$(cd "$1" && pwd)
  rm -f "$dir/running"
  cancel_jobs "$dir"
  for node in $(nodes_of "$dir"); do
    # Steps that no cancel reached (their controller was stopped, say) go with their node.
    [ -z "$(node_jobs "$dir" "$node")" ] || kill_node "$dir" "$node" >/dev/null
    stop_daemon "$dir" "slurmd $node" "$(slurmd_pid_file "$dir" "$node")" "$(slurmd_line "$node")" ||
      status=1
  done
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

# Every node idle: sinfo prints one line a state.
node_idle() { [ "$(timeout 10 sinfo -h -o %T)" = idle ]; }
node_up() { # <node>: it takes jobs
  case $(timeout 10 sinfo -h -n "$1" -o %T) in idle | mixed | allocated) ;; *) return 1 ;; esac
}
queue_empty() { [ -z "$(timeout 10 squeue -h -o %A)" ]; }

# Stops the cluster once its owner has died, unless the cluster was stopped first. Detached
# twice over, so that whoever kills the owner's process tree does not take it along.
watch_owner() { # <state dir> <owner pid>
  while [ -e "$1/running" ] && kill -0 "$2" 2>/dev/null; do
    sleep 2
  done
  [ ! -e "$1/running" ] || stop_cluster "$1"
}

# <ports>...: a node on each port, all of this machine. A node of one CPU runs one task of an
# array at a time, so that the tasks spread over several nodes and a lost node loses exactly
# the task it ran; a lone node gets two, so that shards still run side by side.
node_lines() {
  local k=0 cpus=1 port
  [ $# -gt 1 ] || cpus=2
  for port; do
    k=$((k + 1))
    echo "NodeName=n$k NodeHostname=$(hostname -s) NodeAddr=127.0.0.1 Port=$port CPUs=$cpus" \
      "RealMemory=8000 State=UNKNOWN"
  done
}

start_slurmd() { # <state dir> <node>
  mkdir -p "$1/spool/$2"
  slurmd -f "$1/slurm.conf" -N "$2" </dev/null >"$1/log/slurmd.$2.start" 2>&1 &&
    wait_for 10 "slurmd $2's pid file" slurmd_running "$1" "$2"
}

start_slurmds() { # <state dir>
  local node
  for node in $(nodes_of "$1"); do start_slurmd "$1" "$node" || return; done
}

start_cluster() { # <state dir> <owner pid>
  local dir ports nodes=${SLURM_TEST_NODES:-1}
  [[ $nodes =~ ^[1-9][0-9]?$ ]] || { echo "SLURM_TEST_NODES must be 1 to 99, not $nodes" >&2; return 1; }
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
  mapfile -t ports < <(free_ports $((nodes + 1)))
  sed -e "s|@HOST@|$(hostname -s)|g" -e "s|@DIR@|$dir|g" -e "s|@CTLD_PORT@|${ports[0]}|g" \
    "$here/slurm.conf.template" |
    awk -v nodes="$(node_lines "${ports[@]:1}")" '$0 == "@NODES@" { print nodes; next } { print }' \
      >"$dir/slurm.conf"
  [ -z "${SLURM_TEST_MAX_ARRAY_SIZE-}" ] || echo "MaxArraySize=$SLURM_TEST_MAX_ARRAY_SIZE" >>"$dir/slurm.conf"
  [ -z "${SLURM_TEST_MAX_JOB_COUNT-}" ] || echo "MaxJobCount=$SLURM_TEST_MAX_JOB_COUNT" >>"$dir/slurm.conf"
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
      start_slurmds "$dir" &&
      wait_for 60 "every node turning idle" node_idle
  }; then
    echo "the Slurm cluster in $dir did not come up" >&2
    show_logs "$dir" >&2
    stop_cluster "$dir" || true
    return 1
  fi
}

# <state dir> <node>: whether the node is one of the cluster's; says so when not.
known_node() {
  nodes_of "$1" | grep -qx -- "$2" && return 0
  echo "$2 is not a node of the cluster in $1: $(nodes_of "$1" | tr '\n' ' ')" >&2
  return 1
}

start_node() { # <state dir> <node>
  known_node "$1" "$2" || return
  if slurmd_running "$1" "$2"; then
    echo "slurmd $2 runs already" >&2
    return 1
  fi
  export SLURM_CONF=$1/slurm.conf
  # ReturnToService=2: the controller takes a node that registers again back into service.
  start_slurmd "$1" "$2" && wait_for 60 "$2 taking jobs again" node_up "$2"
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
  # shellcheck disable=SC2016 # the job expands them
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
  # shellcheck disable=SC2016 # the job expands it
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

# The directory of a running cluster, as its daemons' command lines name it.
cluster_dir() { # <state dir>
  [ -s "$1/slurm.conf" ] || { echo "no cluster in $1" >&2; return 1; }
  cd "$1" && pwd
}

case ${1-} in
  check) check_usable ;;
  start) [ $# = 2 ] || { echo "usage: $0 start <state_dir>" >&2; exit 2; }
    start_cluster "$2" "$PPID" ;;
  stop) [ $# = 2 ] || { echo "usage: $0 stop <state_dir>" >&2; exit 2; }
    stop_cluster "$2" ;;
  kill-node) [ $# = 3 ] || { echo "usage: $0 kill-node <state_dir> <node>" >&2; exit 2; }
    dir=$(cluster_dir "$2") && known_node "$dir" "$3" && kill_node "$dir" "$3" ;;
  start-node) [ $# = 3 ] || { echo "usage: $0 start-node <state_dir> <node>" >&2; exit 2; }
    dir=$(cluster_dir "$2") && start_node "$dir" "$3" ;;
  stop-controller) [ $# = 2 ] || { echo "usage: $0 stop-controller <state_dir>" >&2; exit 2; }
    dir=$(cluster_dir "$2") && stop_daemon "$dir" slurmctld "$dir/slurmctld.pid" ;;
  watch) watch_owner "$2" "$3" ;;
  selftest) selftest ;;
  *) sed -n '/^# Usage:/,/^set /{/^set /!p}' "$0" >&2; exit 2 ;;
esac
