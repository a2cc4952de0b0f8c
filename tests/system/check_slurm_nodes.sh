#!/usr/bin/env bash
# The Slurm mode of QuoventMR_v3 on a cluster of three nodes started for the test, each a
# slurmd of this machine with one CPU, where the site does not queue a job again after its
# node failed unless the job asks: the shards spread over every node, so do the parts of their
# merge, and the result is QuoventMR's, byte for byte; a node lost while it counts a shard
# costs the run time, not its result; a merge part that fails stops the run with its own words
# and --resume gives the bytes; with the site's MaxArraySize at 50, a run of some 250 shards
# submits no array index past 49, and stopped half-way it keeps its counted shards and --resume
# finishes it with the same bytes, its results merged first in groups on two nodes or more; a controller that stops answering ends the run within --scheduler-timeout, with
# the jobs named. Prints "timing:" lines for the runs. Skips (exit 77) when not root or
# without the Slurm and munge daemons and commands.
# Usage: check_slurm_nodes.sh <bin dir> [<locale dir>]
# shellcheck source=slurm/test_setup.sh
. "$(dirname "$0")/slurm/test_setup.sh"
# The run started in the background (a shell that runs timeout, which runs the program), and
# the directory of its run.
driver=
driver_dir=
# The program itself, timeout's child: timeout, signalled, ends without waiting for the program
# to cancel its jobs and say what it kept.
program_of_driver() { ps -o pid= --ppid "$(cat "$driver_dir/timeout.pid")" | tr -d ' '; }
# Stops the program with SIGTERM and waits until it has ended, its last words written.
# shellcheck disable=SC2317 # the EXIT trap calls it
stop_driver() {
  [ -n "$driver" ] || return 0
  local program
  program=$(program_of_driver)
  kill -TERM "$program" 2>/dev/null || true
  wait "$driver" || driver_status=$?
  while kill -0 "$program" 2>/dev/null; do sleep 0.1; done
  driver=
}
# A driver still running when the test ends is stopped first: it cancels its own jobs.
trap 'stop_driver; "$cluster" stop "$work/cluster"; rm -rf "$work"' EXIT
# Arrays of at most 50 tasks, indexed 0 to 49.
max_array_size=50
SLURM_TEST_NODES=3 SLURM_TEST_MAX_ARRAY_SIZE=$max_array_size "$cluster" start "$work/cluster"
export SLURM_CONF=$work/cluster/slurm.conf
export LC_ALL=C.UTF-8
# en_US.UTF-8 collates at about half C.UTF-8's speed: a shard's task then stays on its node
# long enough to be lost in the middle of its count. Slurm hands it to the jobs.
run_env=()
[ ! -f "$locales/en_US.UTF-8/LC_CTYPE" ] || run_env=(LOCPATH="$locales" LC_ALL=en_US.UTF-8)
# No run may outlast the test's own time limit: the trap above must get to stop the cluster.
run_limit=180
scheduler_timeout=5

status=0
fail() {
  echo "FAIL: $*"
  status=1
}

now() { date +%s.%N; }
seconds_since() { awk -v start="$1" -v end="$(now)" 'BEGIN { printf "%.1f", end - start }'; }

# <file> <bytes> <seed>: lines of words made of three syllables, about 400,000 different words
# in 4 MB, accented letters among them: a shard's table and its collation work grow with the
# words it has never seen.
make_words() {
  LC_ALL=C awk -v bytes="$2" -v seed="$3" 'BEGIN {
    split("b c d f g k l m n p r s t v z ch", onset, " ")
    split("a e i o u \303\251 \303\274 \303\266", vowel, " ")
    for (i = 1; i <= 16; i++) for (j = 1; j <= 8; j++) for (k = 1; k <= 8; k++)
      syllable[n++] = onset[i] vowel[j] vowel[k]
    for (written = 0; written < bytes; written += length(line) + 1) {
      line = ""
      for (w = 0; w < 10; w++) {
        x = (x * 69069 + seed) % 4294967296
        line = line syllable[x % n] syllable[int(x / 1024) % n] syllable[int(x / 1048576) % n] " "
      }
      print line
    }
  }' >"$1"
}

inputs=$work/inputs
mkdir "$inputs"
for seed in 1 3 5 7 9 11; do make_words "$inputs/words_$seed.txt" 4000000 "$seed"; done
shard_size=4M # seven shards: more tasks than nodes
# Some 250 shards: five arrays at the site's MaxArraySize, each task a Slurm job of its own.
many_shard_size=96K

# <name> <program> [args...]: runs in the directory <name>, made with tmp/ and Result/ on the
# first run there, so that a resumed run finds its work directory (tmp/v3) again. Started in
# the background, its process is timeout's, which hands a signal on to the program.
run_in() {
  local dir=$work/runs/$1
  shift
  mkdir -p "$dir/tmp" "$dir/Result"
  (cd "$dir" && echo "$BASHPID" >timeout.pid &&
    exec env "${run_env[@]}" timeout "$run_limit" "$@" >>"$dir/output" 2>&1)
}

# <name> <program> [args...]: run_in in the background, as the driver that stop_driver stops.
start_driver() {
  run_in "$@" &
  driver=$!
  driver_dir=$work/runs/$1
}

# <command...>: polls the command until it succeeds, for as long as the driver runs.
wait_while_driver_runs() {
  local polls
  for ((polls = 0; polls < run_limit * 10; polls++)); do
    ! "$@" || return 0
    kill -0 "$driver" 2>/dev/null || return 0
    sleep 0.1
  done
}

count=("$bin/QuoventMR_v3" --slurm -s "$shard_size" -r 2 -o Result/qv.txt "$inputs"/*)
run_in reference "$bin/QuoventMR" -r 2 -o Result/qv.txt "$inputs"/* ||
  { cat "$work/runs/reference/output"; echo "QuoventMR failed"; exit 1; }

same_as_reference() { # <name>
  cmp "$work/runs/reference/Result/qv.txt" "$work/runs/$1/Result/qv.txt" ||
    fail "$1: the result differs from QuoventMR's"
}

# <name> <program> [args...]: the count run there again with --resume, timed, and its result
# checked.
resume() {
  local start name=$1
  shift
  start=$(now)
  if run_in "$name" "$@" --resume; then
    echo "timing: resume alone after $name $(seconds_since "$start") s"
    same_as_reference "$name"
  else
    fail "$name: QuoventMR_v3 --slurm --resume failed:"
    cat "$work/runs/$name/output"
  fi
}

# The array job of the newest run: its tasks, their states and nodes stay listed after it ended.
newest_array() { squeue -h -t all -n "${1:-quovent-shards}" -o %F | sort -n | tail -n 1; }
nodes_of_job() { squeue -h -t all -j "$1" -o %N | sort -u | tr '\n' ' '; }
held_jobs() { squeue -h -t PD -o '%F %r' | awk '$2 == "JobHeldUser" { print $1 }' | sort -un | tr '\n' ' '; }

# An undisturbed run: without -j nothing throttles the array, so that one task runs on each
# node at once.
start=$(now)
if run_in undisturbed "${count[@]}"; then
  echo "timing: undisturbed three-node run $(seconds_since "$start") s"
  same_as_reference undisturbed
  array=$(newest_array)
  [ "$(nodes_of_job "$array")" = "n1 n2 n3 " ] ||
    fail "undisturbed: the tasks of array job $array ran on $(nodes_of_job "$array")rather than n1 n2 n3"
  throttle=$(scontrol show job "$array" | grep -o 'ArrayTaskThrottle=[0-9]*' | sort -u || true)
  [ -z "$throttle" ] || fail "undisturbed: array job $array has $throttle though no -j was given"
  # The merge in parts, each a task of the merge's array, which Slurm spreads as it does the
  # shards'; the merge job joins them.
  parts_array=$(newest_array quovent-merge-parts)
  part_nodes=$(nodes_of_job "$parts_array")
  [ "$(wc -w <<<"$part_nodes")" -ge 2 ] ||
    fail "undisturbed: the merge's parts (array job $parts_array) ran on ${part_nodes:-no node}, not on two nodes or more"
  merged=$(grep -Eo 'of which the merge [0-9.]+ secs in ([2-9]|[1-9][0-9]+) parts' "$work/runs/undisturbed/output" || true)
  echo "undisturbed: $merged, the array job $parts_array on $part_nodes"
  [ -n "$merged" ] || { fail "undisturbed: the merge was not cut into parts:"; cat "$work/runs/undisturbed/output"; }
else
  fail "undisturbed: QuoventMR_v3 --slurm failed:"
  cat "$work/runs/undisturbed/output"
fi

# A node lost under a task: the task is queued again (the program asks for it; the site would
# not) and runs on another node, and the driver waits for it.
node_failures() { grep -c 'Name=quovent-shards JobState=NODE_FAIL .*NodeList=n2 ' "$work/cluster/log/jobcomp.txt" || true; }
failures_before=$(node_failures)
# A task's job step listens on a socket in its node's spool directory while it runs.
# shellcheck disable=SC2317 # called through wait_while_driver_runs
step_on_n2() { [ -n "$(find "$work/cluster/spool/n2" -maxdepth 1 -type s -name 'n2_*' 2>/dev/null)" ]; }
# On a loaded machine the task may end between the look at n2 and the kill: the run is then made
# again, in a directory of its own, at most three times.
for attempt in 1 2 3; do
  name=lost_node$([ "$attempt" = 1 ] || echo "_$attempt")
  start=$(now)
  start_driver "$name" "${count[@]}"
  wait_while_driver_runs step_on_n2
  killed=$("$cluster" kill-node "$work/cluster" n2)
  echo "$killed, $(seconds_since "$start") s into the run"
  driver_status=0
  wait "$driver" || driver_status=$?
  driver=
  echo "timing: three-node run that lost a node $(seconds_since "$start") s"
  if [ "$driver_status" = 0 ]; then
    same_as_reference "$name"
  else
    # Slurm did not give the task back; the run must still be one --resume away from its result.
    echo "$name: QuoventMR_v3 --slurm returned $driver_status, resuming:"
    cat "$work/runs/$name/output"
    resume "$name" "${count[@]}"
  fi
  array=$(newest_array)
  echo "$name: tasks of array job $array: $(squeue -h -t all -j "$array" -o '%K %T %N' | sort -n | tr '\n' ';')"
  start=$(now)
  "$cluster" start-node "$work/cluster" n2
  echo "n2 back in service $(seconds_since "$start") s after its slurmd was started again"
  [[ $killed == *"job steps (none)"* ]] || break
  echo "$name: the task on n2 ended before n2 was killed; the run is made again"
done
[[ $killed != *"job steps (none)"* ]] || fail "lost_node: no task ran on n2 when it was killed, in three runs"
[ "$(node_failures)" -gt "$failures_before" ] || fail "lost_node: no task was lost with n2"

# A merge part that fails: a shard's result damaged between its seal and the merge (the jobs are
# held until then). The part that reads it stops the run with its own words, the results are
# kept, and --resume counts the damaged shard again and merges anew.
start=$(now)
start_driver failed_part "${count[@]}" --sbatch --hold
# shellcheck disable=SC2317 # called through wait_while_driver_runs
three_held() { [ "$(held_jobs | wc -w)" -ge 3 ]; }
wait_while_driver_runs three_held
read -r shards_array parts_array merge_job <<<"$(held_jobs)"
scontrol release "$shards_array"
# shellcheck disable=SC2317 # called through wait_while_driver_runs
shards_left_queue() { [ -z "$(squeue -h -j "$shards_array" 2>/dev/null)" ]; }
wait_while_driver_runs shards_left_queue
echo 'damaged line' >>"$work/runs/failed_part/tmp/v3/shard_3/result.txt"
scontrol release "$parts_array,$merge_job"
driver_status=0
wait "$driver" || driver_status=$?
driver=
echo "timing: three-node run whose merge part failed $(seconds_since "$start") s"
said=$(sed 's/\x1b\[[0-9;]*m//g' "$work/runs/failed_part/output" | grep -E '^\[QuoventMR_v3\] Merge part [0-9]+ failed: .*shard_3/result.txt' || true)
echo "failed_part: QuoventMR_v3 returned $driver_status and wrote: $said"
if [ "$driver_status" = 0 ] || [ -z "$said" ]; then
  fail "failed_part: no merge part failed with its own words:"
  cat "$work/runs/failed_part/output"
fi
resume failed_part "${count[@]}"

# A run of many shards stopped half-way: its tasks are cancelled, a result being written among
# them, maybe; the shards counted stay, and the resumed run counts the others alone, in arrays
# of its own within MaxArraySize as well.
many=("$bin/QuoventMR_v3" --slurm -s "$many_shard_size" -r 2 -o Result/qv.txt "$inputs"/*)
newest_job() { squeue -h -t all -o %F | sort -n | tail -n 1; }
# <first job id>: the array tasks of the jobs after it, "<job> <index or range of indices>".
tasks_since() { squeue -h -t all -n quovent-shards -o '%F %K' | awk -v last="$1" '$1 > last'; }
shards_done() { find "$work/runs/stopped/tmp/v3" -path '*/shard_*/result.txt' 2>/dev/null | wc -l; }
before_stopped=$(newest_job)
start=$(now)
start_driver stopped "${many[@]}"
# shellcheck disable=SC2317 # called through wait_while_driver_runs
some_shards_done() { [ "$(shards_done)" -ge 60 ]; }
wait_while_driver_runs some_shards_done
driver_status=0
stop_driver
echo "timing: many shards, stopped after $(seconds_since "$start") s"
kept=$(sed 's/\x1b\[[0-9;]*m//g' "$work/runs/stopped/output" | grep ' shards are counted and kept in ' || true)
echo "stopped: QuoventMR_v3 returned $driver_status once $(shards_done) shards were counted and wrote: $kept"
[ "$driver_status" = 143 ] || fail "stopped: QuoventMR_v3 returned $driver_status after SIGTERM, not 143"
arrays=$(tasks_since "$before_stopped" | awk '{ print $1 }' | sort -u | wc -l)
[ "$arrays" -gt 1 ] || fail "stopped: its shards went out in $arrays array jobs, not several"
if [[ $kept =~ ([0-9]+)\ of\ ([0-9]+)\ shards ]]; then
  left=$((BASH_REMATCH[2] - BASH_REMATCH[1]))
  [ "${BASH_REMATCH[2]}" -gt $((max_array_size * 4)) ] ||
    fail "stopped: ${BASH_REMATCH[2]} shards, too few to need several arrays"
  before_resumed=$(newest_job)
  resume stopped "${many[@]}"
  tasks=$(tasks_since "$before_resumed" | wc -l)
  [ "$tasks" = "$left" ] || fail "stopped: the resumed run's arrays have $tasks tasks, for $left shards left"
  # More results than one process reads at once: groups of them merged first, as the tasks of
  # an array of their own, which Slurm spreads as it does the shards'.
  groups_array=$(newest_array quovent-merge-groups)
  group_nodes=$(nodes_of_job "$groups_array")
  merged=$(grep -Eo 'of which the merge [0-9.]+ secs in [0-9]+ parts?' "$work/runs/stopped/output" | tail -n 1 || true)
  echo "stopped: the resumed run's group merges (array job $groups_array) ran on $group_nodes; $merged"
  [ "$(wc -w <<<"$group_nodes")" -ge 2 ] ||
    fail "stopped: the group merges (array job $groups_array) ran on ${group_nodes:-no node}, not on two nodes or more"
else
  fail "stopped: no message that counted shards were kept:"
  cat "$work/runs/stopped/output"
fi
# Every index of both runs, single or the ends of a range of pending ones, below MaxArraySize.
highest=$(tasks_since "$before_stopped" | awk -F '[^0-9]+' '{ for (i = 2; i <= NF; i++) if ($i > m) m = $i } END { print m + 0 }')
[ "$highest" -lt "$max_array_size" ] || fail "stopped: an array index reached $highest"

# A controller that stops answering while the run's jobs wait: held, they cannot end before
# it, so that only --scheduler-timeout ends the run.
start_driver lost_controller "${count[@]}" --sbatch --hold --scheduler-timeout "$scheduler_timeout"
# The merge's array and job are submitted right after the shards' array: all are in the queue,
# the driver waits.
wait_while_driver_runs three_held
jobs=$(held_jobs)
start=$(now)
"$cluster" stop-controller "$work/cluster"
gone=$(seconds_since "$start")
driver_status=0
wait "$driver" || driver_status=$?
driver=
took=$(seconds_since "$start")
echo "timing: controller lost: the driver stopped $took s after slurmctld was told to stop" \
  "(gone after $gone s), with --scheduler-timeout $scheduler_timeout"
message=$(sed 's/\x1b\[[0-9;]*m//g' "$work/runs/lost_controller/output" |
  grep '^\[QuoventMR_v3\] squeue has not answered for' || true)
echo "lost_controller: QuoventMR_v3 returned $driver_status and wrote: $message"
[ "$driver_status" = 75 ] || fail "lost_controller: QuoventMR_v3 returned $driver_status, not 75"
[ -n "$message" ] || { fail "lost_controller: no message that squeue has not answered:"; cat "$work/runs/lost_controller/output"; }
read -r array parts merge <<<"$jobs"
[[ -n $merge && $message == *"jobs $array,$parts,$merge "* ]] ||
  fail "lost_controller: the message does not name the held jobs $jobs"
# Each squeue call gets only what is left of the bound; the rest is room for a loaded machine.
bound=$((scheduler_timeout + 3))
awk -v took="$took" -v bound="$bound" 'BEGIN { exit !(took <= bound) }' ||
  fail "lost_controller: the driver took $took s to stop, more than $bound s"
exit "$status"
