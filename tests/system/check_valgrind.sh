#!/usr/bin/env bash
# Memcheck over one run of each program, children included; any memory error
# fails the test. Usage: check_valgrind.sh <bin-dir>
set -euo pipefail
bin="$(cd "$1" && pwd)"
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir tmp Result
printf 'Uno dos DOS \303\201rbol \303\241rbol\nThe quick brown fox\n' > a.txt
printf 'na\303\257ve Stra\303\237e uno\n' > b.txt
memcheck=(valgrind -q --error-exitcode=99 --trace-children=yes --track-fds=no)
run() {
  echo "== $*"
  "${memcheck[@]}" "$@" >/dev/null
}
export LC_ALL=C.UTF-8
run "$bin/QuoventMR" -m -r 2 a.txt b.txt
run "$bin/QuoventMap" -i 0 a.txt || [ "$?" -ne 99 ]  # its status is its word count
run "$bin/QuoventMap" -i 1 b.txt || [ "$?" -ne 99 ]
run "$bin/QuoventSuffle" 2 2
run "$bin/QuoventReduce" Result/qv.txt 2
run "$bin/QuoventReduce" Result/qv.txt 2 1
run "$bin/QuoventMR_v2a" -r 2 a.txt b.txt
run "$bin/QuoventMR_v2b" -m -r 3 a.txt b.txt
run "$bin/Quovent" a.txt b.txt
echo "no memory errors"
