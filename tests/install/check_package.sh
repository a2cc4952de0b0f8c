#!/bin/bash
# The Debian package that `cpack -G DEB` builds carries the right name, version, architecture,
# its library dependencies and a description, installs under /usr only, and works once
# unpacked into a directory of its own: every program, run by name through PATH from a scratch
# working directory, behaves as the real program started by its path and counts the same words
# as the program of the build (check_by_name.sh), and the examples of every installed manual
# page run as written.
# Usage: check_package.sh <cpack> <build dir> <version> <reference QuoventMR> <program dir
#        under the prefix> <programs, separated by ;>
set -euo pipefail
cpack_program=$1 build_dir=$2 version=$3 reference=$4 programdir=$5 programs=$6

need() { command -v "$1" >/dev/null || { echo "$1 is missing (Debian package $2)"; exit 1; }; }
need dpkg dpkg
need dpkg-deb dpkg
need dpkg-shlibdeps dpkg-dev
need file file

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cpack_program" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
debs=("$work"/out/*.deb)
[ "${#debs[@]}" = 1 ] && [ -f "${debs[0]}" ] || { echo "cpack made no single .deb"; ls "$work/out"; exit 1; }
deb=${debs[0]}

status=0
fail() { echo "$*"; status=1; }
field() { dpkg-deb --field "$deb" "$1"; }

architecture=$(dpkg --print-architecture)
[ "$(field Package)" = quovent ] || fail "package name $(field Package), not quovent"
[ "$(field Version)" = "$version" ] || fail "version $(field Version), not $version"
[ "$(field Architecture)" = "$architecture" ] || fail "architecture $(field Architecture), not $architecture"
[ "$(basename "$deb")" = "quovent_${version}_${architecture}.deb" ] || fail "file name $(basename "$deb")"
# dpkg-shlibdeps found the C and C++ runtime libraries the programs link.
case $(field Depends) in
  *libc6*libstdc++6* | *libstdc++6*libc6*) ;;
  *) fail "dependencies '$(field Depends)' lack libc6 or libstdc++6" ;;
esac
[ -n "$(field Maintainer)" ] || fail "no maintainer"
[ "$(field Description | wc -l)" -gt 1 ] || fail "no long description"

outside_usr=$(dpkg-deb --contents "$deb" | awk '{print $6}' | grep -v -e '^\./$' -e '^\./usr/' || true)
[ -z "$outside_usr" ] || fail "files outside /usr: $outside_usr"

root=$work/root
dpkg -x "$deb" "$root"
texts=("$root"/usr/share/doc/quovent/Input/*.txt)
[ -f "${texts[0]}" ] || { echo "the package holds no sample texts"; exit 1; }

bash "$(dirname "$0")/check_by_name.sh" "$root/usr" "$programdir" "$reference" "$programs" \
  "${texts[@]}" || status=1

# The pages' examples name the installed files under /usr; here those lie under the root.
for page in "$root"/usr/share/man/man1/*.1; do
  name=$(basename "$page" .1)
  mkdir -p "$work/home/$name"
  sed -n '/^\.EX$/,/^\.EE$/{/^\.E[XE]$/d;p;}' "$page" | sed -e 's/\\-/-/g' -e "s|/usr/|$root/usr/|g" \
    >"$work/examples_$name.sh"
  [ -s "$work/examples_$name.sh" ] || fail "$name(1) has no example"
  # Not under -e: QuoventMap exits with its word count. A failing example prints an error.
  HOME=$work/home/$name PATH="$root/usr/bin:$PATH" LC_ALL=C.UTF-8 \
    bash "$work/examples_$name.sh" >/dev/null 2>"$work/examples_$name.err" || true
  # QuoventMR_v3 reports its start and end on standard error, in green.
  sed -i '/^\x1b\[0;32m\[QuoventMR_v3\] /d' "$work/examples_$name.err"
  [ ! -s "$work/examples_$name.err" ] ||
    { fail "the examples of $name(1) fail:"; cat "$work/examples_$name.sh" "$work/examples_$name.err"; }
done
exit "$status"
