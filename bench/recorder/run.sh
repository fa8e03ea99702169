#!/usr/bin/env bash
# What recording costs: the same builds run with plain make and with
# `tracemake record` (stored into a throwaway cluster), A and B interleaved
# so that the load of a shared machine falls on both alike.
#
#   bench/recorder/run.sh [ROUNDS]      (default: 5)
#
# BUILDS="no-op touch-10k" runs only those; TMPDIR places the spools (the
# per-process files of a spool cost less on a tmpfs than on a disk).
#
# Builds:
#   c-project   a generated C project, DIRS folders of FILES sources each
#               (default 25 x 20 = 500), a recursive make ($(MAKE) -C per
#               folder), built from clean with -j2
#   no-op       the same project built again with -j2: nothing to do
#   touch-10k   one makefile of 10,000 targets whose recipes are a touch
#               each, built from clean with -j2
# For each, the median wall time of the rounds and the ratio recorded/plain.
set -euo pipefail
cd "$(dirname "$0")/../.."

rounds=${1:-5}
dirs=${DIRS:-25}
files=${FILES:-20}

cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target tracemake >/dev/null
tracemake=$PWD/build/bin/tracemake

# shellcheck source=bench/cluster.sh
source bench/cluster.sh >/dev/null

# The C project: each folder's sources into an archive, the top recursing.
project=$work/c-project
mkdir -p "$project"
{
  echo "DIRS := $(for d in $(seq 1 "$dirs"); do printf 'd%02d ' "$d"; done)"
  echo 'all: $(DIRS)'
  echo '$(DIRS):'
  printf '\t$(MAKE) -C $@\n'
  echo 'clean:'
  printf '\tfor d in $(DIRS); do $(MAKE) -C $$d clean; done\n'
  echo '.PHONY: all clean $(DIRS)'
} >"$project/Makefile"
for d in $(seq 1 "$dirs"); do
  dir=$project/$(printf 'd%02d' "$d")
  mkdir -p "$dir"
  printf 'int shared_%d(int x);\n' "$d" >"$dir/shared.h"
  for f in $(seq 1 "$files"); do
    cat >"$dir/f$f.c" <<EOF
#include <stdio.h>
#include <string.h>
#include "shared.h"
static int table_$f[64];
int f${d}_$f(int x)
{
    for (int i = 0; i < 64; ++i)
        table_$f[i] = (x * i) ^ $f;
    char text[32];
    snprintf(text, sizeof text, "%d", table_$f[x & 63]);
    return (int)strlen(text) + shared_$d(x);
}
EOF
  done
  cat >"$dir/Makefile" <<'EOF'
SRCS := $(wildcard *.c)
OBJS := $(SRCS:.c=.o)
CFLAGS := -O2 -Wall
lib.a: $(OBJS)
	ar rcs $@ $^
%.o: %.c shared.h
	$(CC) $(CFLAGS) -c -o $@ $<
clean:
	rm -f *.o lib.a
.PHONY: clean
EOF
done

# The recipe-light project.
touch_project=$work/touch-10k
mkdir -p "$touch_project"
{
  printf 'all:'
  for t in $(seq 1 10000); do printf ' t%d' "$t"; done
  echo
  for t in $(seq 1 10000); do printf 't%d:\n\ttouch $@\n' "$t"; done
} >"$touch_project/Makefile"

# shellcheck source=bench/timing.sh
source bench/timing.sh

declare -A times
run_pair() { # NAME PREPARE-COMMAND DIR MAKE-ARGS...
  local name=$1 prepare=$2 dir=$3 round=$4
  shift 4
  (cd "$dir" && eval "$prepare")
  times[$name,plain]+=" $(cd "$dir" && seconds make "$@")"
  (cd "$dir" && eval "$prepare")
  times[$name,recorded]+=" $(cd "$dir" && seconds "$tracemake" record --label "$name-$round" --replace -- make "$@")"
}

builds=${BUILDS:-c-project no-op touch-10k}
(cd "$project" && make -j2 >/dev/null 2>&1)
for round in $(seq 1 "$rounds"); do
  for name in $builds; do
    case $name in
    c-project) run_pair c-project 'make clean >/dev/null' "$project" "$round" -j2 ;;
    no-op) run_pair no-op 'true' "$project" "$round" -j2 ;;
    touch-10k) run_pair touch-10k 'rm -f t*' "$touch_project" "$round" -j2 ;;
    esac
  done
  echo "round $round of $rounds done" >&2
done

printf '%-10s %10s %10s %8s   (median of %d rounds, seconds)\n' build plain recorded ratio "$rounds"
for name in $builds; do
  # shellcheck disable=SC2086
  plain=$(median ${times[$name,plain]})
  # shellcheck disable=SC2086
  recorded=$(median ${times[$name,recorded]})
  printf '%-10s %10.3f %10.3f %8.3f\n' "$name" "$plain" "$recorded" "$(awk -v r="$recorded" -v p="$plain" 'BEGIN { print r / p }')"
done
