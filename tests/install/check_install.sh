#!/bin/bash
# `cmake --install` lays the product out as users and the package expect: the programs in one
# private directory and, under their names in bin, launchers that run them from there, so that
# every program runs by name through PATH from any directory (check_by_name.sh); one manual
# page per program, the headers under their source-tree paths beside the object module Suffle
# and the static modules it needs (so that a program outside this build compiles and links
# against them), and the README, its picture and the sample texts in the documentation
# directory.
# Usage: check_install.sh <cmake> <build dir> <source dir> <C++ compiler> <lib dir under the
#        prefix> <program dir under the prefix> <reference QuoventMR> <programs, separated by ;>
#        [compiler flags of the build ...]
set -euo pipefail
cmake_program=$1 build_dir=$2 source_dir=$3 cxx=$4 libdir=$5 programdir=$6 reference=$7
programs_list=$8
IFS=';' read -r -a programs <<<"$programs_list"
shift 8
build_flags=("$@")

# Without a symbolic link in it: the launchers name the programs by their resolved path.
prefix=$(cd "$(mktemp -d)" && pwd -P)
trap 'rm -rf "$prefix"' EXIT
"$cmake_program" --install "$build_dir" --prefix "$prefix" >"$prefix.log" ||
  { cat "$prefix.log"; rm -f "$prefix.log"; exit 1; }
rm -f "$prefix.log"

status=0
fail() { echo "$*"; status=1; }
same_file() { cmp -s "$1" "$2" || fail "$2 is missing or differs from $1"; }

expected_programs=$(printf '%s\n' "${programs[@]}" | sort)
for dir in bin "$programdir"; do
  [ "$(ls "$prefix/$dir" | sort)" = "$expected_programs" ] ||
    fail "$dir holds $(ls "$prefix/$dir" | tr '\n' ' ')instead of exactly ${programs[*]}"
done
for program in "${programs[@]}"; do
  [ -x "$prefix/$programdir/$program" ] || fail "$program is not installed as an executable"
  [ -x "$prefix/bin/$program" ] || fail "$program has no launcher in bin"
  same_file "$source_dir/man/$program.1" "$prefix/share/man/man1/$program.1"
done
[ "$(ls "$prefix/share/man/man1" | wc -l)" = "${#programs[@]}" ] ||
  fail "share/man/man1 holds pages of programs that are not installed"

headers=(common/Errors.h common/RawIO.h common/Clock.h common/WorkFiles.h map/Map.h shuffle/Suffle.h
  reduce/Reduce.h)
for header in "${headers[@]}"; do
  same_file "$source_dir/$header" "$prefix/include/quovent/$header"
done

doc=$prefix/share/doc/quovent
same_file "$source_dir/README.md" "$doc/README.md"
for page in docs/dataflow.svg docs/hardening.md docs/building.md docs/programs.md bench/README.md \
    bench/chart.svg; do
  same_file "$source_dir/$page" "$doc/$page"
done
for text in "$source_dir"/Input/*.txt; do
  same_file "$text" "$doc/Input/$(basename "$text")"
done

# A program of its own, built against the installed files only.
lib=$prefix/$libdir
cat >"$prefix/client.cpp" <<'CLIENT'
#include "common/Clock.h"
#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/WorkFiles.h"
#include "map/Map.h"
#include "reduce/Reduce.h"
#include "shuffle/Suffle.h"
int main(int argc, char **) {
  if (argc > 1) {
    quovent_mapper(0, nullptr, false);
    quovent_suffle(1, MAX_REDUCERS);
    quovent_reducer("out.txt", 1);
    char name[WORK_NAME_SIZE];
    suffle_file_name(name, 0);
  }
  return 0;
}
CLIENT
"$cxx" -std=c++20 "${build_flags[@]}" -I "$prefix/include/quovent" "$prefix/client.cpp" \
    "$lib/Suffle.o" "$lib/libMap.a" "$lib/libReduce.a" "$lib/libquovent_common.a" \
    -o "$prefix/client" || fail "a program cannot be built from the installed headers and modules"
[ "$status" = 0 ] && { "$prefix/client" || fail "the program built from the installed files fails"; }

# The launcher, seen from a probe that stands in for a program: it runs the program of its own
# name from the private directory, in its own process, with argv[0] the program's full path and
# the arguments, environment, standard input, output and error, exit status and signal untouched.
cat >"$prefix/probe.cpp" <<'PROBE'
// Writes its process id and its arguments, argv[0] first, then its environment, each ended by
// a NUL, to standard output, copies standard input to standard error, and ends as PROBE_END
// says: "exit <status>" or "signal <number>".
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
int main(int argc, char **argv) {
  printf("%d%c", static_cast<int>(getpid()), 0);
  for (int i = 0; i < argc; ++i) printf("%s%c", argv[i], 0);
  for (char **variable = environ; *variable != nullptr; ++variable) printf("%s%c", *variable, 0);
  fflush(stdout);
  char buffer[4096];
  for (ssize_t got; (got = read(0, buffer, sizeof buffer)) > 0;) fwrite(buffer, 1, got, stderr);
  const char *end = getenv("PROBE_END");
  if (end != nullptr && strncmp(end, "signal ", 7) == 0) raise(atoi(end + 7));
  return end != nullptr ? atoi(end + 5) : 0;
}
PROBE
probe=$prefix/$programdir/Probe
"$cxx" -std=c++20 "$prefix/probe.cpp" -o "$probe"
cp "$prefix/bin/${programs[0]}" "$prefix/bin/Probe"
cp "$prefix/bin/${programs[0]}" "$prefix/bin/Missing"
scratch=$prefix/scratch
mkdir -p "$scratch/links"
ln -s "$prefix/bin/Probe" "$scratch/links/another-name"
arguments=('' ' two  blanks ' -x -- $'line\nend' '*' '$HOME' -i)

# run_probe <output> <end> <command> [args...]: from the scratch directory, with a fixed
# environment, only bin on PATH; the status becomes <output>.status. (The shell's own report
# of a process ended by a signal is not wanted.)
run_probe() {
  local output=$1 end=$2
  shift 2
  { printf 'standard input\n' |
      (cd "$scratch" && env -i PATH="$prefix/bin" "PROBE_END=$end" 'SPACED=a  b' EMPTY= "$@" \
        >"$output" 2>"$output.err") && echo 0 >"$output.status" || echo "$?" >"$output.status"
  } 2>/dev/null
}
all_but_pid() { tail -z -n +2 "$1"; }
argv0() { tr '\0' '\n' <"$1" | sed -n 2p; }

for end in "exit 0" "exit 3" "exit 255" "signal 15"; do
  run_probe "$scratch/by_name" "$end" Probe "${arguments[@]}"
  run_probe "$scratch/by_path" "$end" "$probe" "${arguments[@]}"
  cmp -s <(all_but_pid "$scratch/by_name") <(all_but_pid "$scratch/by_path") ||
    fail "Probe (end $end) by name gets other arguments or environment than by path:" \
      "$(tr '\0' '|' <"$scratch/by_name")"
  [ "$(argv0 "$scratch/by_name")" = "$probe" ] || fail "Probe by name gets argv[0] $(argv0 "$scratch/by_name")"
  [ "$(cat "$scratch/by_name.status")" = "$(cat "$scratch/by_path.status")" ] ||
    fail "Probe (end $end) ends with status $(cat "$scratch/by_name.status") by name," \
      "$(cat "$scratch/by_path.status") by path"
  [ "$(cat "$scratch/by_name.err")" = "standard input" ] || fail "Probe by name does not read standard input"
done

# One process: the shell's own child is the program, so a signal ends the program itself and
# the statuses above are the program's.
printf '' | env -i PATH="$prefix/bin" Probe >"$scratch/pid" &
launched=$!
wait "$launched" || true
[ "$(tr '\0' '\n' <"$scratch/pid" | head -n 1)" = "$launched" ] ||
  fail "Probe by name runs in another process than the one started"

# Through a symbolic link of another name, and through a relative PATH entry.
run_probe "$scratch/link" "exit 0" "$scratch/links/another-name"
[ "$(argv0 "$scratch/link")" = "$probe" ] || fail "a link to a launcher runs $(argv0 "$scratch/link")"
(cd "$prefix" && env -i PATH=bin Probe </dev/null >"$scratch/relative" 2>&1) || true
[ "$(argv0 "$scratch/relative")" = "$probe" ] ||
  fail "a launcher found through a relative PATH entry runs $(argv0 "$scratch/relative")"

# A launcher without its program says which file it misses and ends with that error number.
run_probe "$scratch/missing" "exit 0" Missing
[ "$(cat "$scratch/missing.status")" = 2 ] &&
  grep -qF "[Missing] Error executing $prefix/$programdir/Missing: No such file or directory" \
    "$scratch/missing.err" ||
  fail "a launcher without its program ends with $(cat "$scratch/missing.status"): $(cat "$scratch/missing.err")"
rm -f "$probe" "$prefix/bin/Probe" "$prefix/bin/Missing"

bash "$(dirname "$0")/check_by_name.sh" "$prefix" "$programdir" "$reference" "$programs_list" \
  "$source_dir"/Input/*.txt || status=1
exit "$status"
