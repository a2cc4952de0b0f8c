#!/usr/bin/env bash
# Scale runs, outside the regular test suite:
# 1. a 1 GiB input through QuoventMR -r 4 and through QuoventMR_v2b -m -r 4 (the
#    input split into four files), with elapsed time and peak memory; both
#    results must be identical;
# 2. one reducer receiving exactly 33,554,432 lines (128 full batches, merged)
#    and one line more (its merge stops with "Too many batch files", leaving
#    the earlier shuffle output untouched).
# Needs about 5 GiB free under the work directory.
# Usage: scale/scale.sh <bin-dir> [work-dir] [input-bytes]
set -euo pipefail
bin="$(cd "$1" && pwd)"
work="${2:-$(mktemp -d /tmp/quovent-scale.XXXXXX)}"
size="${3:-1073741824}"
here="$(cd "$(dirname "$0")" && pwd)"
export LC_ALL="${LC_ALL:-C.UTF-8}"
mkdir -p "$work"
cd "$work"
echo "Work directory $work, locale $LC_ALL"
df -h . | tail -n 1

measure() {  # <label> <command...>: prints elapsed seconds and peak resident memory
  local label="$1"
  shift
  /usr/bin/time -f "$label: %e s elapsed, peak %M KiB in one process, status %x" \
    "$@" >"$label.out" 2>"$label.err" || true
  tail -n 1 "$label.err"
}

fresh_dirs() {
  rm -rf tmp Result
  mkdir tmp Result
}

echo "== 1. $size bytes of text"
quarter=$((size / 4))
for part in 0 1 2 3; do
  [ -s "input_$part.txt" ] || python3 "$here/make_text.py" "$quarter" >"input_$part.txt"
done
ls -l input_*.txt
fresh_dirs
measure QuoventMR "$bin/QuoventMR" -r 4 -o result_mr.txt input_0.txt input_1.txt input_2.txt input_3.txt
grep -a "completed" QuoventMR.out | tail -n 1 || cat QuoventMR.err
fresh_dirs
measure QuoventMR_v2b "$bin/QuoventMR_v2b" -m -r 4 -o "$work/result_v2b.txt" \
  input_0.txt input_1.txt input_2.txt input_3.txt
grep -a "completed" QuoventMR_v2b.out | tail -n 1 || cat QuoventMR_v2b.err
if cmp -s result_mr.txt result_v2b.txt; then
  echo "results identical: $(wc -l <result_mr.txt) distinct words"
else
  echo "the two results differ" >&2
fi
fresh_dirs
rm -f QuoventMR*.out result_*

echo "== 2. One reducer, 128 full batches and one line more"
lines=$((128 * 262144))
fresh_dirs
# A thousand distinct words, so that every batch has something to sort.
awk -v n="$lines" 'BEGIN { for (i = 0; i < n; i++) printf "w%03d 1\n", (i * 7919) % 1000 }' \
  >tmp/_map.tmp
measure batches_128 "$bin/QuoventSuffle" 1 1
ls tmp | grep -c '^_batch_r0_' | sed 's/^/batch files: /'
wc -l <tmp/_suffle_0.tmp | sed 's/^/merged lines: /'
cp tmp/_suffle_0.tmp merged_128.tmp
echo "w000 1" >>tmp/_map.tmp
measure batches_129 "$bin/QuoventSuffle" 1 1
grep -a "Too many batch files" batches_129.err || echo "129 batches: no refusal" >&2
cmp -s merged_128.tmp tmp/_suffle_0.tmp && echo "earlier shuffle output untouched"
rm -rf tmp merged_128.tmp
