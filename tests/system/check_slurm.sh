#!/usr/bin/env bash
# The Slurm mode of QuoventMR_v3 on a real single-node cluster started for the test: the
# sharded count writes exactly the bytes QuoventMR writes over the same inputs, with one and
# with several reducers and under a locale that collates otherwise than C.UTF-8; a shard that
# fails makes it fail and leaves the old result file as it was. Skips (exit 77) when not root
# or without the Slurm and munge daemons and commands.
# Usage: check_slurm.sh <bin dir> [<locale dir>]
# shellcheck source=slurm/test_setup.sh
. "$(dirname "$0")/slurm/test_setup.sh"
trap '"$cluster" stop "$work/cluster"; rm -rf "$work"' EXIT
"$cluster" start "$work/cluster"
export SLURM_CONF=$work/cluster/slurm.conf
export LC_ALL=C.UTF-8
# No run may outlast the test's own time limit: the trap above must get to stop the cluster.
run_limit=180
shard_size=65536

# <file> <blocks>: <blocks> shards' worth of words, lines and punctuation, where every shard
# boundary cuts a word: inside a two-byte letter, between ASCII letters, inside a run of
# letters longer than a word may be, or just before or just after a word.
make_sharded_text() {
  LC_ALL=C awk -v blocks="$2" -v block="$shard_size" 'BEGIN {
    words = split("the quick Brown fox \303\241rbol \303\201RBOL Stra\303\237e na\303\257ve " \
      "M\303\274ller caf\303\251 uno dos tres \303\261and\303\272 zebra \303\266l \303\277 x\303\227y a\303\267b", vocab, " ")
    separators = split(" |, |\n|.\n|  |;", separator, "|")
    long = ""
    for (i = 0; i < 300; i++) long = long "\303\251"
    cuts = split("Stra\303\237e 5|BOUNDARY 5|\303\251t\303\251 1|LONG 301|zebra 0|zebra 5", cut, "|")
    seed = 1; pos = 0; k = 0
    for (boundary = block; boundary <= blocks * block; ) {
      split(cut[k % cuts + 1], straddler, " ")
      before = straddler[2] + 0
      seed = (seed * 69069 + 1) % 4294967296
      w = vocab[int(seed / 65536) % words + 1] separator[int(seed / 16) % separators + 1]
      if (pos + length(w) <= boundary - before) { printf "%s", w; pos += length(w); continue }
      for (; pos < boundary - before; pos++) printf " "
      w = (straddler[1] == "LONG" ? long : straddler[1]) "\n"
      printf "%s", w
      pos += length(w); k++; boundary += block
    }
  }' >"$1"
}

inputs=$work/inputs
mkdir "$inputs"
printf 'Uno dos DOS \303\201rbol \303\241rbol\r\nThe quick brown fox, the QUICK dog.\r\n\r\nna\303\257ve Stra\303\237e STRASSE 12abc abc\n' \
  >"$inputs/lines.txt"
printf 'caf\303\251 \316\261\316\262\316\263 caf\303\251 \320\264\320\260 \360\237\230\200smile\360\237\230\200 \305\202\303\263d\305\272 \303\227times\303\267\n' \
  >"$inputs/utf8.txt"
printf 'last word without a newline' >"$inputs/tail.txt"
: >"$inputs/empty.txt"
# C.UTF-8 puts every accented word after zebra; en_US.UTF-8 beside its unaccented twin.
printf 'arbol \303\241rbol eclair \303\251clair\nnube \303\261and\303\272 oso Zeta \303\201rbol \303\211CLAIR\n' \
  >"$inputs/collate.txt"
make_sharded_text "$inputs/large.txt" 32
make_sharded_text "$inputs/medium.txt" 3
cp "$inputs/lines.txt" "$inputs/victim.txt"
small=(lines.txt utf8.txt tail.txt empty.txt collate.txt medium.txt)

status=0
fail() {
  echo "FAIL: $*"
  status=1
}

# <name> <program> [args...]: runs in the fresh directory <name>, which holds tmp/, Result/
# and a copy of the inputs, named relative to it as a user would, with the variables of
# run_env added to the environment.
run_env=()
run_in() {
  local dir=$work/runs/$1
  shift
  mkdir -p "$dir/tmp" "$dir/Result"
  cp "$inputs"/* "$dir/"
  (cd "$dir" && env "${run_env[@]}" timeout "$run_limit" "$@" >"$dir/output" 2>&1)
}

newest_job() { squeue -h -t all -o %F | sort -n | tail -n 1; }

# Whether the queue empties within 10 s of a run's end: a job the run left behind stays.
queue_drains() { # <name>
  local waits
  for ((waits = 0; waits < 20; waits++)); do
    [ -z "$(squeue -h)" ] && return 0
    sleep 0.5
  done
  fail "$1 left jobs queued: $(squeue -h | tr '\n' ';')"
}

# Whether the run since job <id> went through the cluster, an array of shards and a job
# after it, and left nothing queued behind.
check_jobs_since() { # <name> <id>
  local tasks others
  tasks=$(squeue -h -t all -o '%F %K' | awk -v last="${2:-0}" '$1 > last && $2 != "N/A"' | wc -l)
  others=$(squeue -h -t all -o '%F %K' | awk -v last="${2:-0}" '$1 > last && $2 == "N/A"' | wc -l)
  [ "$tasks" -ge 2 ] && [ "$others" -ge 1 ] ||
    fail "$1: $tasks array tasks and $others other jobs ran on the cluster"
  queue_drains "$1"
}

# <name> <reducers> [-w] [inputs...]: the Slurm count against QuoventMR's, byte for byte.
# With -w the work files go to a directory of their own instead of tmp/.
compare() {
  local name=$1 reducers=$2 before options=()
  shift 2
  if [ "$1" = -w ]; then
    mkdir -p "$work/runs/$name/shared_work"
    options=(-w "$work/runs/$name/shared_work")
    shift
  fi
  run_in "$name.reference" "$bin/QuoventMR" -r "$reducers" -o Result/qv.txt "$@" ||
    { fail "$name: QuoventMR failed:"; cat "$work/runs/$name.reference/output"; return; }
  before=$(newest_job)
  if ! run_in "$name" "$bin/QuoventMR_v3" --slurm -j 2 -s 64K -r "$reducers" -o Result/qv.txt \
    "${options[@]}" "$@"; then
    fail "$name: QuoventMR_v3 --slurm failed:"
    cat "$work/runs/$name/output"
    return
  fi
  cmp "$work/runs/$name.reference/Result/qv.txt" "$work/runs/$name/Result/qv.txt" ||
    { fail "$name: the result differs from QuoventMR's"; diff "$work/runs/$name.reference/Result/qv.txt" \
      "$work/runs/$name/Result/qv.txt" | head -n 20; }
  check_jobs_since "$name" "$before"
}

every=(lines.txt utf8.txt tail.txt empty.txt collate.txt large.txt)
compare one_reducer 1 "${every[@]}"
compare four_reducers 4 -w "${every[@]}"

# The word rule reaches the tasks through the plan: under --words unicode the Slurm count of
# many shards gives the bytes of a local count in one shard, Cyrillic and Chinese words included.
name=unicode_words
for copy in 1 2 3 4 5 6 7 8; do
  printf 'Привет мир, ПРИВЕТ %d. 我们的世界很大。 \316\261\316\262\316\263 don'"'"'t stop\n' "$copy"
  cat "$inputs/utf8.txt" "$inputs/lines.txt"
done >"$inputs/unicode.txt"
run_in "$name.reference" "$bin/QuoventMR_v3" --words unicode -j 1 -r 2 -o Result/qv.txt unicode.txt ||
  fail "$name: the local count failed"
before=$(newest_job)
if run_in "$name" "$bin/QuoventMR_v3" --slurm --words unicode -j 2 -s 1K -r 2 -o Result/qv.txt \
  unicode.txt; then
  cmp "$work/runs/$name.reference/Result/qv.txt" "$work/runs/$name/Result/qv.txt" ||
    fail "$name: the Slurm count differs from the local one"
  grep -q '^привет 16$' "$work/runs/$name/Result/qv.txt" || fail "$name: привет is not counted 16 times"
  check_jobs_since "$name" "$before"
else
  fail "$name: QuoventMR_v3 --slurm --words unicode failed:"
  cat "$work/runs/$name/output"
fi

# The locale reaches the shards and the merge through the environment Slurm hands them.
if [ -f "$locales/en_US.UTF-8/LC_CTYPE" ]; then
  run_env=(LOCPATH="$locales" LC_ALL=en_US.UTF-8)
  compare en_US 2 "${small[@]}"
  run_env=()
  run_in en_US.c_utf8 "$bin/QuoventMR" -r 2 -o Result/qv.txt "${small[@]}"
  ! cmp -s "$work/runs/en_US.reference/Result/qv.txt" "$work/runs/en_US.c_utf8/Result/qv.txt" ||
    fail "en_US: the inputs collate alike under C.UTF-8 and en_US.UTF-8; the case proves nothing"
else
  echo "the en_US.UTF-8 case is skipped: no generated locale in $locales"
fi

# A shard fails when its input has gone by the time it runs: the driver's jobs are submitted
# held, an input is removed while they wait, and then they are released.
name=failing_shard
dir=$work/runs/$name
old_result=$'the result of an earlier count\n'
mkdir -p "$dir/Result"
printf '%s' "$old_result" >"$dir/Result/qv.txt"
before=$(newest_job)
run_in "$name" "$bin/QuoventMR_v3" --slurm -j 2 -s 64K -r 2 -o Result/qv.txt --sbatch --hold \
  "${small[@]}" victim.txt &
driver=$!
removed=no
for ((polls = 0; polls < run_limit * 4; polls++)); do
  kill -0 "$driver" 2>/dev/null || break
  held=$(squeue -h -t PD -o '%A %r' | awk '$2 == "JobHeldUser" { print $1 }' | sort -u)
  if [ -n "$held" ]; then
    if [ "$removed" = no ]; then
      rm "$dir/victim.txt"
      removed=yes
      # The merge job is submitted right after the shards' array: release both together, so
      # that it is queued behind a failing array rather than after one that already failed.
      for ((waits = 0; waits < 20; waits++)); do
        [ "$(squeue -h -o %A | sort -u | wc -l)" -ge 2 ] && break
        sleep 0.5
      done
      held=$(squeue -h -t PD -o '%A %r' | awk '$2 == "JobHeldUser" { print $1 }' | sort -u)
    fi
    # shellcheck disable=SC2086 # one job id a word
    scontrol release $held
  fi
  sleep 0.25
done
driver_status=0
wait "$driver" || driver_status=$?
echo "== a failing shard: QuoventMR_v3 returned $driver_status and wrote:"
cat "$dir/output"
[ "$removed" = yes ] || fail "$name: no job was held; --sbatch --hold did not reach sbatch"
[ "$driver_status" != 0 ] || fail "$name: QuoventMR_v3 succeeded though a shard's input was gone"
[ "$driver_status" != 124 ] || fail "$name: QuoventMR_v3 still ran after $run_limit s"
[ "$(cat "$dir/Result/qv.txt"; echo .)" = "$old_result." ] || fail "$name: the old result file was changed"
queue_drains "$name"
[ "$(newest_job)" != "$before" ] || fail "$name: no job reached the cluster"

[ "$status" = 0 ] && echo "the Slurm mode counts like QuoventMR"
exit "$status"
