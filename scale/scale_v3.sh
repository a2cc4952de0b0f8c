#!/usr/bin/env bash
# Sharded runs past one run's capacities, outside the regular test suite:
# 1. prose of about <gigabytes> GB in one file (copies of one generated corpus) through
#    QuoventMR -r 1, which stops in its shuffle ("Too many batch files"), and through
#    QuoventMR_v3 -r 1, whose totals must be the copies' number times those of QuoventMR on one
#    copy; with the peak memory of every process and the peak size of the work files;
# 2. text whose words are all different through QuoventMR_v3 -r 16, with its peak memory.
# Needs about gigabytes x 1.2 GB free under the work directory.
# Usage: scale/scale_v3.sh <bin-dir> [work-dir] [gigabytes]
set -euo pipefail
bin="$(cd "$1" && pwd)"
work="${2:-$(mktemp -d /tmp/quovent-scale-v3.XXXXXX)}"
gigabytes="${3:-4}"
here="$(cd "$(dirname "$0")" && pwd)"
export LC_ALL="${LC_ALL:-C.UTF-8}"
mkdir -p "$work"
cd "$work"
echo "Work directory $work, locale $LC_ALL, $(nproc) cores"

fresh_dirs() { rm -rf tmp Result; mkdir -p tmp Result; }

# measure LABEL COMMAND...: elapsed seconds, the peak resident memory of the largest process
# (GNU time's figure covers the command and every process it waited for), and the peak size of
# tmp/ sampled every half second while it runs.
measure() {
  local label=$1
  shift
  ( peak=0
    while :; do
      used=$(du -sk tmp 2>/dev/null | cut -f1)
      [ "${used:-0}" -gt "$peak" ] && peak=$used && echo "$peak" > "$label.tmp_peak"
      sleep 0.5
    done ) &
  local sampler=$!
  /usr/bin/time -f "$label: %e s elapsed, peak %M KiB in one process, status %x" \
    "$@" >"$label.out" 2>"$label.err" || true
  kill "$sampler" 2>/dev/null; wait "$sampler" 2>/dev/null || true
  local peak
  peak=$(cat "$label.tmp_peak" 2>/dev/null || true)
  echo "$(tail -n 1 "$label.err"), work files at most $(( ${peak:-0} / 1024 )) MiB"
}

# 1. Prose: copies of one corpus small enough for one run (128 MB, about 24 million words), so
#    that the exact totals are known from one copy.
copy=prose_copy.txt
[ -s "$copy" ] || python3 "$here/../bench/make_corpus.py" --seed 3 --megabytes 128 "$copy"
copies=$(( gigabytes * 8 ))
big=prose_${gigabytes}g.txt
if [ ! -s "$big" ]; then
  for _ in $(seq 1 "$copies"); do cat "$copy"; done > "$big"
fi
echo "Input: $big, $(stat -c %s "$big") bytes, $copies copies of $copy"

fresh_dirs
"$bin/QuoventMR" -r 1 -o Result/copy.txt "$copy" > /dev/null
awk -v n="$copies" '{ print $1, $2 * n }' Result/copy.txt > expected.txt
mv Result/copy.txt copy_result.txt

fresh_dirs
measure QuoventMR_r1 "$bin/QuoventMR" -r 1 "$big"
grep -a -o 'Too many batch files[^\x1b]*' QuoventMR_r1.err | head -n 1 || true

fresh_dirs
measure QuoventMR_v3_r1 "$bin/QuoventMR_v3" -r 1 "$big"
if cmp -s Result/qv.txt expected.txt; then
  echo "QuoventMR_v3 -r 1: every total equals $copies times the count of one copy"
else
  echo "QuoventMR_v3 -r 1: TOTALS DIFFER from $copies times the count of one copy"
  exit 1
fi
[ ! -e tmp/v3 ] && echo "work files removed: tmp/ holds $(ls tmp | wc -l) entries"

# 2. Words that are all different: every reducer's shards hold as many distinct lines as lines.
unique=unique_words.txt
[ -s "$unique" ] || python3 - "$unique" <<'PY'
import itertools, string, sys
with open(sys.argv[1], "w") as out:
    letters = string.ascii_lowercase
    line = []
    for n, word in enumerate(itertools.product(letters, repeat=6)):
        line.append("".join(word))
        if len(line) == 16:
            out.write(" ".join(line) + "\n")
            line = []
        if n >= 30_000_000:
            break
PY
fresh_dirs
measure QuoventMR_v3_r16_unique "$bin/QuoventMR_v3" -r 16 "$unique"
echo "distinct words written: $(wc -l < Result/qv.txt)"
