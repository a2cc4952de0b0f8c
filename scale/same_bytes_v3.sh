#!/usr/bin/env bash
# QuoventMR_v3 -r n against QuoventMR -r n, byte for byte, for n = 1, 4 and 16, on each corpus
# given, under C.UTF-8 and a generated en_US.UTF-8, counted locally (-j 2) and, when a cluster
# can start here (root, slurm-wlm and munge), under --slurm on a private single-node cluster.
# Outside the regular test suite: the corpora are the benchmark's, up to 200 MB each.
# Usage: scale/same_bytes_v3.sh <bin-dir> <work-dir> <corpus>...
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work/locales"
work=$(cd "$work" && pwd)
export LOCPATH=$work/locales
[ -d "$LOCPATH/en_US.UTF-8" ] || localedef -i en_US -f UTF-8 "$LOCPATH/en_US.UTF-8"

slurm=no
if bash "$here/../tests/system/slurm/cluster.sh" check >/dev/null; then
  state=$work/cluster
  rm -rf "$state"
  bash "$here/../tests/system/slurm/cluster.sh" start "$state" >/dev/null
  trap 'bash "$here/../tests/system/slurm/cluster.sh" stop "$state" >/dev/null' EXIT
  export SLURM_CONF=$state/slurm.conf
  slurm=yes
fi

failures=0
for corpus in "$@"; do
  for locale in C.UTF-8 en_US.UTF-8; do
    for n in 1 4 16; do
      dir=$work/run
      rm -rf "$dir"; mkdir -p "$dir/tmp" "$dir/Result"
      cd "$dir"
      LC_ALL=$locale "$bin/QuoventMR" -r "$n" -o Result/one.txt "$corpus" >/dev/null
      LC_ALL=$locale "$bin/QuoventMR_v3" -j 2 -r "$n" -o Result/local.txt "$corpus" 2>/dev/null
      ways="local"
      cmp -s Result/one.txt Result/local.txt || { echo "DIFFER: local"; failures=$((failures + 1)); }
      if [ $slurm = yes ]; then
        LC_ALL=$locale "$bin/QuoventMR_v3" --slurm -j 2 -r "$n" -o Result/slurm.txt "$corpus" 2>/dev/null
        ways="$ways and --slurm"
        cmp -s Result/one.txt Result/slurm.txt || { echo "DIFFER: slurm"; failures=$((failures + 1)); }
      fi
      echo "$(basename "$corpus") $locale -r $n: $(wc -l < Result/one.txt) words; $ways compared"
      cd "$work"
    done
  done
done
echo "differences: $failures"
[ "$failures" = 0 ]
