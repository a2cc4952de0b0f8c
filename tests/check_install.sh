#!/bin/bash
# `cmake --install` lays the product out as users and the package expect: the programs and
# nothing else in bin, one manual page per program, the headers under their source-tree paths
# beside the object module Suffle and the static modules it needs (so that a program outside
# this build compiles and links against them), and the README, its picture and the sample
# texts in the documentation directory.
# Usage: check_install.sh <cmake> <build dir> <source dir> <C++ compiler> <lib dir under the
#        prefix> <programs, separated by ;> [compiler flags of the build ...]
set -euo pipefail
cmake_program=$1 build_dir=$2 source_dir=$3 cxx=$4 libdir=$5
IFS=';' read -r -a programs <<<"$6"
shift 6
build_flags=("$@")

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake_program" --install "$build_dir" --prefix "$prefix" >"$prefix.log" ||
  { cat "$prefix.log"; rm -f "$prefix.log"; exit 1; }
rm -f "$prefix.log"

status=0
fail() { echo "$*"; status=1; }
same_file() { cmp -s "$1" "$2" || fail "$2 is missing or differs from $1"; }

expected_bin=$(printf '%s\n' "${programs[@]}" | sort)
[ "$(ls "$prefix/bin" | sort)" = "$expected_bin" ] ||
  fail "bin holds $(ls "$prefix/bin" | tr '\n' ' ')instead of exactly the programs ${programs[*]}"
for program in "${programs[@]}"; do
  [ -x "$prefix/bin/$program" ] || fail "$program is not installed as an executable"
  same_file "$source_dir/man/$program.1" "$prefix/share/man/man1/$program.1"
done
[ "$(ls "$prefix/share/man/man1" | wc -l)" = "${#programs[@]}" ] ||
  fail "share/man/man1 holds pages of programs that are not installed"

headers=(common/Errors.h common/RawIO.h common/Clock.h map/Map.h shuffle/Suffle.h reduce/Reduce.h)
for header in "${headers[@]}"; do
  same_file "$source_dir/$header" "$prefix/include/quovent/$header"
done

doc=$prefix/share/doc/quovent
same_file "$source_dir/README.md" "$doc/README.md"
same_file "$source_dir/docs/dataflow.svg" "$doc/docs/dataflow.svg"
for text in "$source_dir"/Input/*.txt; do
  same_file "$text" "$doc/Input/$(basename "$text")"
done

# A program of its own, built against the installed files only.
lib=$prefix/$libdir
cat >"$prefix/client.cpp" <<'CLIENT'
#include "common/Clock.h"
#include "common/Errors.h"
#include "common/RawIO.h"
#include "map/Map.h"
#include "reduce/Reduce.h"
#include "shuffle/Suffle.h"
int main(int argc, char **) {
  if (argc > 1) {
    quovent_mapper(0, nullptr, false);
    quovent_suffle(1, MAX_REDUCERS);
    quovent_reducer("out.txt", 1);
  }
  return 0;
}
CLIENT
"$cxx" -std=c++20 "${build_flags[@]}" -I "$prefix/include/quovent" "$prefix/client.cpp" \
    "$lib/Suffle.o" "$lib/libMap.a" "$lib/libReduce.a" "$lib/libquovent_common.a" \
    -o "$prefix/client" || fail "a program cannot be built from the installed headers and modules"
[ "$status" = 0 ] && { "$prefix/client" || fail "the program built from the installed files fails"; }
exit "$status"
