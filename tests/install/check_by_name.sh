#!/bin/bash
# The installed programs run as users run them: by name through PATH, with only the bin
# directory of the installation put first, in working directories that hold no program. Run
# by name, each program behaves as when started by the full path of the real program in the
# private directory (the same exit status, standard error and files; the same standard output
# but for times, process ids and the order in which parallel processes print), and counts the
# same words as the QuoventMR of the build.
# Used by check_install.sh and check_package.sh.
# Usage: check_by_name.sh <prefix> <program dir under the prefix> <reference QuoventMR>
#        <programs, separated by ;> <input files, at least two ...>
set -euo pipefail
prefix=$1 programdir=$2 reference=$3
IFS=';' read -r -a programs <<<"$4"
shift 4
inputs=("$@")
[ "${#inputs[@]}" -ge 2 ] || { echo "check_by_name.sh needs at least two input files"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C.UTF-8
status=0
fail() { echo "$*"; status=1; }

# Standard output without what differs from run to run: times, process ids, and the order in
# which processes that run at the same time print their lines.
stable_output() {
  sed -E -e 's/\x1b\[0m//g' -e 's/[0-9]+\.[0-9]+ secs/T secs/g' -e 's/process [0-9]+/process P/g' \
    "$1" | LC_ALL=C sort
}

# run_both <run> <program> [args...]: runs the program by name in by_name/<run>/dir and by the
# path of the real program in by_path/<run>/dir, and compares the two. Runs of the same <run>
# share their directories, so that stages run one after the other see each other's files.
run_both() {
  local run=$1 program=$2
  shift 2
  local way
  for way in by_name by_path; do mkdir -p "$work/$way/$run/dir/tmp" "$work/$way/$run/dir/Result"; done
  local by_name=$work/by_name/$run by_path=$work/by_path/$run name_status=0 path_status=0
  (cd "$by_name/dir" && PATH="$prefix/bin:$PATH" "$program" "$@" >"$by_name/stdout" 2>"$by_name/stderr") ||
    name_status=$?
  (cd "$by_path/dir" && "$prefix/$programdir/$program" "$@" >"$by_path/stdout" 2>"$by_path/stderr") ||
    path_status=$?

  local what="$program${*:+ $*}, by name and by path,"
  [ "$name_status" = "$path_status" ] || fail "$what ends with status $name_status and $path_status"
  cmp -s "$by_name/stderr" "$by_path/stderr" ||
    { fail "$what writes different standard errors:"; diff "$by_name/stderr" "$by_path/stderr" | cat -v || true; }
  [ "$(stable_output "$by_name/stdout")" = "$(stable_output "$by_path/stdout")" ] ||
    { fail "$what writes different standard outputs (times and process ids left out, sorted):"
      diff <(stable_output "$by_name/stdout") <(stable_output "$by_path/stdout") | cat -v || true; }
  # The parts of the parallel reducers carry the token of their run.
  diff -r --exclude='*.part*' "$by_name/dir" "$by_path/dir" >/dev/null ||
    fail "$what leaves different files: $(diff -rq --exclude='*.part*' "$by_name/dir" "$by_path/dir" || true)"
}

# same_as_reference <run> <reducers>: the result of the run by name is QuoventMR's, byte for byte.
same_as_reference() {
  local run=$1 reducers=$2 dir=$work/reference_$2
  if [ ! -d "$dir" ]; then
    mkdir -p "$dir/tmp" "$dir/Result"
    (cd "$dir" && "$reference" -r "$reducers" "${inputs[@]}" >/dev/null) ||
      { fail "the reference $reference -r $reducers fails"; return; }
  fi
  cmp -s "$dir/Result/qv.txt" "$work/by_name/$run/dir/Result/qv.txt" ||
    fail "the run $run by name does not write what QuoventMR -r $reducers writes"
}

# Every program, refused for want of arguments: messages and statuses are exact.
for program in "${programs[@]}"; do
  run_both "no_arguments_$program" "$program"
done

# Each program counts. The stage programs count together, started one after the other.
for program in "${programs[@]}"; do
  case $program in
    QuoventMR)
      run_both mr QuoventMR -m -r 2 "${inputs[@]}"
      same_as_reference mr 2 ;;
    QuoventMR_v2a)
      run_both v2a QuoventMR_v2a -r 3 "${inputs[@]}"
      same_as_reference v2a 3 ;;
    QuoventMR_v2b)
      run_both v2b QuoventMR_v2b -m -r 2 "${inputs[@]}"
      same_as_reference v2b 2 ;;
    QuoventMap)
      for i in "${!inputs[@]}"; do run_both stages QuoventMap -i "$i" "${inputs[$i]}"; done
      run_both stages QuoventSuffle "${#inputs[@]}" 3
      run_both stages QuoventReduce Result/qv.txt 3
      same_as_reference stages 3 ;;
    QuoventSuffle | QuoventReduce) ;;  # with QuoventMap
    QuoventMerge)
      parts=()
      for i in "${!inputs[@]}"; do
        run_both merge QuoventMR -r 2 -o "Result/part$i.txt" "${inputs[$i]}"
        parts+=("Result/part$i.txt")
      done
      run_both merge QuoventMerge -r 2 "${parts[@]}"
      same_as_reference merge 2 ;;
    QuoventMR_v3)
      # Its closing line names the absolute result path and the time: only the result compares.
      mkdir -p "$work/by_name/v3/dir/tmp" "$work/by_name/v3/dir/Result"
      (cd "$work/by_name/v3/dir" && PATH="$prefix/bin:$PATH" QuoventMR_v3 -j 2 -s 1K -r 2 \
        "${inputs[@]}" 2>"$work/by_name/v3/stderr") ||
        fail "QuoventMR_v3 by name fails: $(cat "$work/by_name/v3/stderr")"
      same_as_reference v3 2 ;;
    Quovent)
      # The platform's tools agree with the stages on words of ASCII letters only; result.txt
      # holds "count word" lines.
      printf 'The cat and the hat.\nA cat, a BAT; the end\n' >"$work/ascii.txt"
      run_both tools Quovent "$work/ascii.txt"
      mkdir -p "$work/tools_reference/tmp" "$work/tools_reference/Result"
      (cd "$work/tools_reference" && "$reference" "$work/ascii.txt" >/dev/null) ||
        fail "the reference $reference fails on $work/ascii.txt"
      [ "$(awk '{print $2, $1}' "$work/by_name/tools/dir/result.txt" | LC_ALL=C sort)" = \
        "$(LC_ALL=C sort "$work/tools_reference/Result/qv.txt")" ] ||
        fail "Quovent by name counts other words than QuoventMR" ;;
    *) fail "no count run by name for $program: add one to tests/install/check_by_name.sh" ;;
  esac
done
exit "$status"
