#!/usr/bin/env bash
# The main job on a real build: installs what is missing, builds the seven
# programs and tracemake, starts a throwaway PostgreSQL cluster, builds the
# sample project "calc" (demo/calc-v1 and demo/calc-v2) for real with gcc
# and make under `tracemake record`, once per version, compares the two
# recordings with `tracemake compare`, runs the report tools on recorded
# OIDs and writes everything into one output folder.
#
#   scripts/demo.sh [--keep] [OUTPUT_DIR]    (default OUTPUT_DIR: demo-out)
#
# Each version is built in a copy under /tmp/daver-calc (a fixed place, so
# that the paths in the reports are the same on every run).  With --keep the
# cluster stays up and the line that points libpq at it is printed, so the
# tools can be run by hand; a demo that fails stops its cluster all the same.
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: $0 [--keep] [OUTPUT_DIR]   (default OUTPUT_DIR: demo-out)"
keep=0
case ${1:-} in
--keep) keep=1; shift ;;
-h|--help) echo "$usage"; exit 0 ;;
-*) echo "$usage" >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "$usage" >&2; exit 2; }
out=$(realpath -m "${1:-demo-out}")

programs=(relplot envshow recipeshow procshow envdiff rulediff changescan tracemake)

step() { printf '== %s\n' "$*"; }

step "packages"
scripts/install-deps.sh

step "building ${programs[*]}"
buildlog=$(mktemp)
trap 'rm -f "$buildlog"' EXIT
if ! { cmake --preset default && cmake --build --preset default -j "$(nproc)" --target "${programs[@]}" traceview; } >"$buildlog" 2>&1; then
  cat "$buildlog" >&2
  echo "$0: the build failed" >&2
  exit 1
fi
bin=$PWD/build/bin

mkdir -p "$out"
rm -f "$out"/{envshow,recipeshow,procshow,envdiff,rulediff}.txt "$out"/{changes,build}.rsf \
      "$out"/build.{dot,svg} "$out"/{demo,compare}.log "$out"/changes.list "$out"/summary.txt

step "starting a PostgreSQL cluster"
# One cluster folder per output folder, short enough for a unix socket path.
pgdir=/tmp/daver-demo-$(printf '%s' "$out" | md5sum | cut -c1-10)
# The cluster goes when the demo ends, unless --keep was given and the demo
# got through.
finish() {
  local status=$?
  rm -f "$buildlog"
  if [ $keep = 1 ] && [ $status = 0 ]; then return; fi
  scripts/pgcluster.sh stop "$pgdir"
}
trap finish EXIT
scripts/pgcluster.sh start "$pgdir" db/schema.sql
# shellcheck disable=SC1091
source "$pgdir/env"

# The OID of the one instance of NAME in SUBDIR ("" for the top directory)
# of version VERSION.
oid() {
  local version=$1 subdir=$2 name=$3
  local dir=$scratch/calc-$version${subdir:+/$subdir}
  local found
  found=$(psql -X -At -d DAVER -v v="$version" -v d="$dir" -v n="$name" <<'SQL'
SELECT OID FROM ZTR_FILEINST
 WHERE INST_VERSION = :'v' AND INST_DIR = :'d' AND INST_NAME = :'n';
SQL
)
  if [ -z "$found" ] || [ "$(printf '%s\n' "$found" | wc -l)" != 1 ]; then
    echo "$0: not exactly one instance of $name in $dir: ${found:-none}" >&2
    return 1
  fi
  printf '%s\n' "$found"
}

# Runs one program, its standard output and error going to demo.log; a
# failure shows the log and, for a report tool, the end of its report.
run() {
  local report=$1; shift
  printf '$ %s\n' "${*#"$bin"/}" >>"$out/demo.log"
  if ! "$@" >>"$out/demo.log" 2>&1; then
    echo "$0: ${1##*/} failed:" >&2
    cat "$out/demo.log" >&2
    [ -f "$report" ] && tail -n 5 "$report" >&2
    exit 1
  fi
}

# The builds run in a small fixed environment, so that what the recorded
# environments show does not depend on who runs the demo.
scratch=/tmp/daver-calc
rm -rf "$scratch"
mkdir -p "$scratch"
for version in v1 v2; do
  step "recording the build of calc $version: tracemake record --label $version -- make all CC=gcc PREFIX=/usr/local"
  cp -r "demo/calc-$version" "$scratch/calc-$version"
  ( cd "$scratch/calc-$version" &&
    run "" env -i PATH=/usr/bin:/bin HOME=/home/dev USER=dev LANG=C.UTF-8 \
      PGHOST="$PGHOST" PGPORT="$PGPORT" PGUSER="$PGUSER" \
      "$bin/tracemake" record --label "$version" -- make all CC=gcc PREFIX=/usr/local )
done
step "tracemake compare v1 v2: the RSF, the change list, changescan, relplot, dot and the summary"
run "$out/summary.txt" "$bin/tracemake" compare v1 v2 -o "$out"

main_o_v1=$(oid v1 src main.o)
main_o_v2=$(oid v2 src main.o)
calc_1_v1=$(oid v1 doc calc.1)
calc_1_v2=$(oid v2 doc calc.1)
calc_v1=$(oid v1 src calc)
calc_v2=$(oid v2 src calc)
all_v1=$(oid v1 "" all)
add_o_v1=$(oid v1 lib add.o)
install_v1=$(oid v1 src install)
main_c_v1=$(oid v1 src main.c)

step "envshow: the environments of src/main.o and doc/calc.1 in v1"
run "$out/envshow.txt" "$bin/envshow" "$out/envshow.txt" "$main_o_v1" "$calc_1_v1"
step "recipeshow: the recipes of all, lib/add.o, src/install and src/main.c in v1"
run "$out/recipeshow.txt" "$bin/recipeshow" "$out/recipeshow.txt" "$all_v1" "$add_o_v1" "$install_v1" "$main_c_v1"
step "procshow: the make processes behind all, lib/add.o and doc/calc.1 in v1"
run "$out/procshow.txt" "$bin/procshow" "$out/procshow.txt" "$all_v1" "$add_o_v1" "$calc_1_v1"
step "envdiff: src/main.o and doc/calc.1, v1 against v2"
run "$out/envdiff.txt" "$bin/envdiff" "$out/envdiff.txt" "$main_o_v1" "$calc_1_v1" "$main_o_v2" "$calc_1_v2"
step "rulediff: src/calc, v1 against v2"
run "$out/rulediff.txt" "$bin/rulediff" "$out/rulediff.txt" "$calc_v1" "$calc_v2"

cat <<EOF

Wrote into $out:
  summary.txt     what changed from v1 to v2 and why (tracemake compare)
  build.rsf       both recorded builds as relations, with changescan's DIFF lines
  changes.list    the files whose content or commands differ (changescan's list)
  changes.rsf     DIFF lines of the changed files (changescan)
  build.dot       the builds as a Graphviz graph (relplot)
  build.svg       the picture (dot -Tsvg)
  compare.log     what changescan, relplot and dot printed
  envshow.txt     environments of two v1 instances (envshow)
  recipeshow.txt  command texts and executed commands (recipeshow)
  procshow.txt    command lines of the make processes (procshow)
  envdiff.txt     environment differences, v1 against v2 (envdiff)
  rulediff.txt    recipe differences of src/calc, v1 against v2 (rulediff)
  demo.log        every command run and what it printed

Open the picture in a web browser: file://$out/build.svg
  (or: xdg-open $out/build.svg)
  orange: changed from v1 to v2; red outline: only in v1; green: only in v2;
  filled: its commands were executed; double circle: a goal of its make;
  red label: a target in a makefile; Courier label: a phony target;
  dotted arrow: a make that starts a sub-make; solid arrow: depends on.
EOF
cat <<EOF

Browse the two recorded builds in traceview (it reads them from the trace
server: run the demo with --keep and use the PGHOST line below), then open
the address it prints:
  build/bin/traceview --label v1 --label v2
EOF
if [ $keep = 1 ]; then
  echo
  echo "The server with the two recorded builds is still running; to use it:"
  cat "$pgdir/env"
  echo "Stop it with: scripts/pgcluster.sh stop $pgdir"
fi
