#!/usr/bin/env bash
# tracemake changes and compare on real recorded builds of the large shape
# (bench/compare/large_project.sh: FOLDERS sub-makes in one object folder
# outside the source tree, -j2): a build, the same tree rebuilt after one
# source was edited, and a copy of the tree with an object folder of its
# own and the same edit.  Times each comparison of the first build with the
# other two:
#   - tracemake changes   (goal: 5 s)
#   - tracemake compare, the picture included   (goal: 30 s)
# and prints the figures with the pairing and the summary's length.
#
#   bench/compare/large_shape.sh [FOLDERS] [SOURCES_PER_FOLDER]   (default 320 and 12)
set -euo pipefail
cd "$(dirname "$0")/../.."
folders=${1:-320}
sources=${2:-12}

cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target tracemake changescan relplot >/dev/null
bin=$PWD/build-release/bin

# shellcheck source=bench/cluster.sh
source bench/cluster.sh

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

bench/compare/large_project.sh "$work/a" "$folders" "$sources"
cp -r "$work/a" "$work/c"
record() { # TREE OBJECTS LABEL
  ( cd "$work/$1" && "$bin/tracemake" record --label "$3" -- make -j2 "O=../$2" >/dev/null 2>"$work/$3.err" )
  tail -n 1 "$work/$3.err"
}
t0=$(now); record a out-a first; t1=$(now)
echo 'int edited;' >"$work/a/d7/f1.c"
record a out-a again
echo 'int edited;' >"$work/c/d7/f1.c"
record c out-c elsewhere
printf 'recording the first build: %s s\n\n' "$(secs "$t0" "$t1")"

printf '%-44s %8s\n' "step" "seconds"
for second in again elsewhere; do
  t0=$(now); "$bin/tracemake" changes first "$second" -o "$work/$second.list"; t1=$(now)
  "$bin/tracemake" compare first "$second" -o "$work/cmp-$second" >"$work/$second.out" 2>"$work/$second.cmp.err"; t2=$(now)
  printf '%-44s %8s   (goal: 5 s; %s changed files)\n' "tracemake changes first $second" "$(secs "$t0" "$t1")" \
    "$(wc -l <"$work/$second.list")"
  printf '%-44s %8s   (goal: 30 s; summary %s lines, %s DOT nodes)\n' "tracemake compare first $second" \
    "$(secs "$t1" "$t2")" "$(wc -l <"$work/$second.out")" "$(grep -c '^[[:space:]]*"[^"]*"\[label=' "$work/cmp-$second/build.dot")"
  grep -m1 '^files changed' "$work/$second.out"
  grep -m1 '^files only newly known' "$work/$second.out" || true
  grep -m1 '^make processes without a partner' "$work/$second.out" || echo "every make process paired"
  [ -s "$work/cmp-$second/build.svg" ] || echo "no picture: $(cat "$work/$second.cmp.err")"
  echo
done
psql -X -At -d DAVER -c "SELECT 'per build: ' || count(*) || ' make processes' FROM ZTR_MAKEPROC WHERE PS_VERSION = 'first'" \
  -c "SELECT 'per build: ' || count(*) || ' file instances' FROM ZTR_FILEINST WHERE INST_VERSION = 'first'"
