#!/bin/bash
# The data-flow picture is well-formed SVG that any viewer can show on its own: an svg root in
# the SVG namespace, no scripts, no embedded images or HTML, no link to anything outside the
# file, and a README at the top of the repository that shows it.
# Usage: check_dataflow_picture.sh <source directory>
set -euo pipefail
source_dir=$1
picture=$source_dir/docs/dataflow.svg

command -v xmllint >/dev/null || { echo "xmllint is missing (Debian package libxml2-utils)"; exit 1; }

xmllint --noout --nonet "$picture"

count() { xmllint --nonet --xpath "$1" "$picture"; }
[ "$(count 'count(/*[local-name()="svg" and namespace-uri()="http://www.w3.org/2000/svg"])')" = 1 ] ||
  { echo "the root element is not an SVG svg element"; exit 1; }
[ "$(count 'count(//*[local-name()="script" or local-name()="image" or local-name()="foreignObject"])')" = 0 ] ||
  { echo "the picture holds a script, an image or foreign content"; exit 1; }
[ "$(count 'count(//@*[local-name()="href" and not(starts-with(., "#"))])')" = 0 ] ||
  { echo "the picture links to something outside itself"; exit 1; }
if grep -q -e '@import' -e '@font-face' -e 'url(http' "$picture"; then
  echo "the picture's style fetches a font or a style sheet"
  exit 1
fi

grep -qF '](docs/dataflow.svg)' "$source_dir"/README*.md ||
  { echo "no README shows docs/dataflow.svg"; exit 1; }
