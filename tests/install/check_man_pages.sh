#!/bin/bash
# Every manual page renders without a single groff warning, in an ASCII and in a UTF-8
# locale, holds the sections a user looks for, names itself in its NAME line so that
# whatis and apropos find it, and refers only to pages that exist.
# Usage: check_man_pages.sh <directory of the section-1 pages>
set -euo pipefail
man_dir=$1

for tool in man lexgrog; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (Debian package man-db)"; exit 1; }
done

status=0
fail() { echo "$*"; status=1; }

pages=("$man_dir"/*.1)
[ -e "${pages[0]}" ] || { echo "no manual pages in $man_dir"; exit 1; }

for page in "${pages[@]}"; do
  name=$(basename "$page" .1)
  for locale in C C.UTF-8; do
    warnings=$(LC_ALL="$locale" MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null) ||
      fail "$name: man failed under $locale"
    [ -z "$warnings" ] || fail "$name under $locale: $warnings"
  done

  whatis_line=$(lexgrog "$page") || fail "$name: lexgrog cannot parse its NAME section"
  case $whatis_line in
    *": \"$name - "*) ;;
    *) fail "$name: NAME section does not begin with its own name: $whatis_line" ;;
  esac

  for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS" ENVIRONMENT EXAMPLES \
      LIMITS "SEE ALSO"; do
    grep -qx "\.SH \"\?$section\"\?" "$page" || fail "$name: no section $section"
  done

  # Cross-references to the product's own pages must land on a page of this directory.
  for reference in $(grep -o '^\.BR Quovent[A-Za-z0-9_]* (1)' "$page" | awk '{print $2}'); do
    [ -e "$man_dir/$reference.1" ] || fail "$name: refers to $reference(1), which has no page"
  done
done
exit "$status"
