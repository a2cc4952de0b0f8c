#!/usr/bin/env bash
# Runs each fuzz target for a while, starting from its seed corpus, and fails
# on the first finding. New inputs go to a scratch corpus, never into the
# repository. Usage: fuzz/run.sh <build-dir> <seconds-per-target> [target...]
# FUZZ_MAX_LEN sets the longest input (default 2048 bytes).
set -euo pipefail
build_dir="$(cd "$1" && pwd)"
seconds="$2"
max_len="${FUZZ_MAX_LEN:-2048}"
shift 2
seeds="$(cd "$(dirname "$0")/corpus" && pwd)"
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  targets=(map_words_fuzz suffle_fuzz reduce_fuzz drivers_fuzz encoded_input_fuzz)
fi
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
for target in "${targets[@]}"; do
  mkdir -p "$scratch/$target"
  echo "== $target for ${seconds}s"
  # Findings (crash-*, timeout-*) are written into the scratch directory and
  # shown in the log; the exit status of the fuzzer decides.
  status=0
  (cd "$scratch" && "$build_dir/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" \
    -timeout=60 -print_final_stats=1 -artifact_prefix="$scratch/" \
    "$scratch/$target" "$seeds/$target") >"$scratch/$target.log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units' "$scratch/$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$scratch/$target.log" >&2
    echo "$target: finding (status $status)" >&2
    exit 1
  fi
done
