#!/usr/bin/env bash
# The main job on bundled sample data: builds the tools, starts a throwaway
# PostgreSQL cluster holding the sample trace, runs the tools on it and
# writes everything into one output folder.
#
#   scripts/demo.sh [--keep] [OUTPUT_DIR]    (default OUTPUT_DIR: demo-out)
#
# With --keep the cluster stays up and the line that points libpq at it is
# printed, so the tools can be run by hand.
set -euo pipefail
cd "$(dirname "$0")/.."

keep=0
if [ "${1:-}" = --keep ]; then keep=1; shift; fi
out=$(realpath -m "${1:-demo-out}")

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" >/dev/null
bin=build/bin

mkdir -p "$out"
pgdir=/tmp/daver-demo-$(echo "$out" | md5sum | cut -c1-10)
scripts/pgcluster.sh start "$pgdir" db/schema.sql db/sample_trace.sql
# shellcheck disable=SC1091
source "$pgdir/env"
[ $keep = 1 ] || trap 'scripts/pgcluster.sh stop "$pgdir"' EXIT

"$bin/changescan" demo/sample.list "$out/changes.rsf" v1 v2 >/dev/null

echo "Wrote into $out:"
ls -1 "$out" | sed 's/^/  /'
if [ $keep = 1 ]; then
  echo "The sample trace server is still running; to use it:"
  cat "$pgdir/env"
  echo "Stop it with: scripts/pgcluster.sh stop $pgdir"
fi
