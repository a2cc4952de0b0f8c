# shellcheck shell=bash
# Sourced by the Slurm tests, with their arguments (<bin dir> [<locale dir>]): strict mode, the
# paths they use (here, cluster, bin, locales) and a fresh work directory, after checking that a
# test cluster can run here (exits 77 saying why otherwise) and that the program is built.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cluster=$here/slurm/cluster.sh
bin=$(cd "$1" && pwd)
locales=${2:-$bin/../locales}
[ ! -d "$locales" ] || locales=$(cd "$locales" && pwd) # the runs change directory
"$cluster" check || exit
[ -x "$bin/QuoventMR_v3" ] || { echo "$bin/QuoventMR_v3 is missing"; exit 1; }

work=$(mktemp -d)
chmod 0755 "$work" # munged serves its socket only where every directory above it is searchable by all
