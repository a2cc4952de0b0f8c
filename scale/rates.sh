#!/usr/bin/env bash
# The rates of docs/scale.md: for each corpus given, under C.UTF-8 and a generated en_US.UTF-8,
# QuoventMR_v3 -j 1 -r 1 with shards of 128 MiB and of 16 MiB, keeping the shards' results, and
# QuoventMerge -j 1 and -j 2 over the 16 MiB shards' results. Prints, a line each, wall and CPU
# seconds (user, system), peak memory (KiB), the shards' results in bytes and lines, the
# result's lines. Rates are bytes over CPU seconds. Outside the regular test suite.
# Usage: scale/rates.sh <bin-dir> <work-dir> <corpus>...
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$2
shift 2
mkdir -p "$work/locales" "$work/Result"
work=$(cd "$work" && pwd)
export LOCPATH=$work/locales
[ -d "$LOCPATH/en_US.UTF-8" ] || localedef -i en_US -f UTF-8 "$LOCPATH/en_US.UTF-8"

timed() {  # timed COMMAND...: "wall user system peak_kib" of the command
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" > /dev/null 2>&1
  cat "$work/time.txt"
}

for corpus in "$@"; do
  for locale in C.UTF-8 en_US.UTF-8; do
    for shard in 128M 16M; do
      rm -rf "$work/w"
      times=$(timed env LC_ALL=$locale "$bin/QuoventMR_v3" -k -j 1 -s $shard -r 1 -w "$work/w" \
        -o "$work/Result/qv.txt" "$corpus")
      results=("$work"/w/shard_*/result.txt)
      echo "$(basename "$corpus") $locale -s $shard: $times; ${#results[@]} shards," \
        "results $(cat "${results[@]}" | wc -c) bytes $(cat "${results[@]}" | wc -l) lines," \
        "result $(wc -l < "$work/Result/qv.txt") lines"
    done
    for jobs in 1 2; do
      echo "  QuoventMerge -j $jobs: $(timed env LC_ALL=$locale "$bin/QuoventMerge" -r 1 -j $jobs \
        -o "$work/Result/merged.txt" "${results[@]}")"
    done
  done
done
rm -rf "$work/w"
