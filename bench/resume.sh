#!/usr/bin/env bash
# What a resume saves: QuoventMR_v3 counts a corpus whole, then again killed outright (driver and
# workers, SIGKILL) once half its shards are counted, and resumed with --resume; prints the
# seconds of each and checks that the resumed result has the bytes of the whole run's.
# Usage: bench/resume.sh [--megabytes 1024] [--shard 32M] [--jobs 2] [--bin build/bin]
#                        [--work build/bench-resume]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
megabytes=1024 shard=32M jobs=2 bin=build/bin work=build/bench-resume
while [ $# -gt 0 ]; do
  case $1 in
    --megabytes) megabytes=$2 ;;
    --shard) shard=$2 ;;
    --jobs) jobs=$2 ;;
    --bin) bin=$2 ;;
    --work) work=$2 ;;
    *) sed -n '2,6p' "$0" >&2; exit 2 ;;
  esac
  shift 2
done
program=$(cd "$bin" && pwd)/QuoventMR_v3
mkdir -p "$work/Result"
cd "$work"
corpus=corpus_${megabytes}M.txt
[ -f "$corpus" ] || python3 "$here/make_corpus.py" --seed 1 --megabytes "$megabytes" "$corpus"
count=("$program" -j "$jobs" -s "$shard")

since() { awk -v s="$1" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }'; }

seconds() { # <log> <command...>: runs it, its standard error into log; prints its wall time
  local log=$1 start
  shift
  start=$(date +%s.%N)
  "$@" 2>"$log"
  since "$start"
}

rm -rf tmp
sync
whole=$(seconds whole.log "${count[@]}" -o Result/whole.txt "$corpus")
shards=$(sed -n 's/.* in \([0-9]*\) shards into.*/\1/p' whole.log)
rm -rf tmp
sync
start=$(date +%s.%N)
setsid "${count[@]}" -o Result/resumed.txt "$corpus" 2>/dev/null &
run=$!
half=$((shards / 2))
until [ "$(find tmp/v3 -name result.txt 2>/dev/null | wc -l)" -ge "$half" ]; do
  kill -0 "$run" 2>/dev/null || { echo "the run ended before it was killed" >&2; exit 1; }
  sleep 0.05
done
kill -KILL -- "-$run"
wait "$run" 2>/dev/null || true
killed=$(since "$start")
kept=$(find tmp/v3 -name result.txt | wc -l)
sync
resumed=$(seconds resumed.log "${count[@]}" --resume -o Result/resumed.txt "$corpus")
same=no
cmp -s Result/whole.txt Result/resumed.txt && same=yes
printf '%s MB in %s shards of %s, -j %s\n' "$megabytes" "$shards" "$shard" "$jobs"
printf 'whole run:                    %8s s\n' "$whole"
printf 'killed after %3s shards:      %8s s\n' "$kept" "$killed"
printf 'resume alone:                 %8s s (%s of the whole run)\n' "$resumed" \
  "$(awk -v r="$resumed" -v w="$whole" 'BEGIN { printf "%.2f", r / w }')"
printf 'same bytes as the whole run:  %s\n' "$same"
[ "$same" = yes ]
