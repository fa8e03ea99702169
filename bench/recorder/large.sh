#!/usr/bin/env bash
# What recording costs on a build of the large shape: SUBS sub-makes (default
# 320), all started in the top folder as `$(MAKE) -f DIR/rules.mk obj=SUBDIR`,
# each building SOURCES (default 3) C files that depend on all of HEADERS
# (default 300) shared headers, so that each make process knows them all.
# Plain make and `tracemake record` (into a throwaway cluster) run in
# interleaved rounds, so that the load of a shared machine falls on both.
#
#   bench/recorder/large.sh [ROUNDS]      (default: 3)
#
# Prints, as medians of the rounds: the full build from clean at -j2 and the
# no-op rebuild, plain and recorded, with their ratios and the seconds of the
# recorded run that went to storing the build; the same in processor
# seconds (the server's included), which a busy host disturbs less; `why` of
# the last full build and recording it again under its label (--replace),
# right after it was recorded; then the load alone
# of one recorded full build (`tracemake load` of its spool) in seconds, and
# the bytes it added to the database.  TMPDIR places the spools,
# the project and the throwaway cluster (a file system whose new files are
# slow to make, as a crowded /tmp can be, weighs on the recorded runs more).
set -euo pipefail
cd "$(dirname "$0")/../.."

rounds=${1:-3}
subs=${SUBS:-320}
sources=${SOURCES:-3}
headers=${HEADERS:-300}

cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target tracemake tracemake-shim tracemake_preload >/dev/null
tracemake=$PWD/build/bin/tracemake

# shellcheck source=bench/cluster.sh
source bench/cluster.sh >/dev/null

project=$work/large
mkdir -p "$project/include"
for h in $(seq 1 "$headers"); do
  printf '#pragma once\nstatic inline int header_%d(int x) { return x + %d; }\n' "$h" "$h" >"$project/include/h$h.h"
done
for h in $(seq 1 "$headers"); do printf '#include "h%d.h"\n' "$h"; done >"$project/include/all.h"
for s in $(seq 1 "$subs"); do
  dir=$project/src/s$s
  mkdir -p "$dir"
  for f in $(seq 1 "$sources"); do
    printf '#include "all.h"\nint f_%d_%d(int x) { return header_1(x) * %d + header_%d(x); }\n' \
      "$s" "$f" "$f" "$headers" >"$dir/f$f.c"
  done
done
{
  echo 'SUBDIRS := $(patsubst %/,%,$(sort $(dir $(wildcard src/*/f1.c))))'
  echo 'all: $(SUBDIRS)'
  echo '$(SUBDIRS):'
  printf '\t@$(MAKE) -f $(CURDIR)/rules.mk obj=$@\n'
  echo 'clean:'
  printf '\trm -f src/*/*.o src/*/lib.a\n'
  echo '.PHONY: all clean $(SUBDIRS)'
} >"$project/Makefile"
cat >"$project/rules.mk" <<'EOF'
HEADERS := $(sort $(wildcard include/*.h))
SRCS := $(wildcard $(obj)/*.c)
OBJS := $(SRCS:.c=.o)
CFLAGS := -O0 -Iinclude
$(obj)/lib.a: $(OBJS)
	@ar rcs $@ $^
$(obj)/%.o: $(obj)/%.c $(HEADERS)
	@$(CC) $(CFLAGS) -c -o $@ $<
EOF

# shellcheck source=bench/timing.sh
source bench/timing.sh

declare -A times
# Wall and processor seconds of COMMAND run in the project (output to
# $work/run.err), into times[NAME,KIND] and cpu[NAME,KIND]: the processor
# time of the command and its children (bash's `times`), and that of the
# server's processes that ended meanwhile (what the postmaster reaped), so
# that a recorded run counts the server's part of storing too.  Processor
# time is what a busy host disturbs least.
declare -A cpu
measure() { # NAME KIND COMMAND...
  local name=$1 kind=$2 start end used server_before server_after
  shift 2
  server_before=$(server_cpu)
  start=$(date +%s.%N)
  used=$(cd "$project" && { "$@" >/dev/null 2>"$work/run.err" || exit 1; } && times) ||
    { cat "$work/run.err" >&2; exit 1; }
  used=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.3f", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' <<<"$used")
  end=$(date +%s.%N)
  sleep 0.2 # the server's backend of a recorded run is reaped
  server_after=$(server_cpu)
  times[$name,$kind]+=" $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f", e - s }')"
  cpu[$name,$kind]+=" $(awk -v u="$used" -v a="$server_before" -v b="$server_after" 'BEGIN { printf "%.3f", u + b - a }')"
}
# Processor seconds of the server's processes that have ended so far.
server_cpu() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($16 + $17) / hz }' "/proc/$(head -n 1 "$pgdir/data/postmaster.pid")/stat"
}
# One recorded build, and the seconds of storing it that tracemake reports
# at its end, into times[NAME,storing].
record_run() { # NAME LABEL MAKE-ARGS...
  local name=$1 label=$2
  shift 2
  measure "$name" recorded "$tracemake" record --label "$label" --replace -- make "$@"
  times[$name,storing]+=" $(sed -n 's/.*variables in \([0-9.]*\) s$/\1/p' "$work/run.err")"
}
run_pair() { # NAME PREPARE-COMMAND ROUND MAKE-ARGS...
  local name=$1 prepare=$2 round=$3
  shift 3
  (cd "$project" && eval "$prepare")
  measure "$name" plain make "$@"
  (cd "$project" && eval "$prepare")
  record_run "$name" "$name-$round" "$@"
}

(cd "$project" && make -j2 >/dev/null 2>&1)
for round in $(seq 1 "$rounds"); do
  run_pair full 'make clean >/dev/null' "$round" -j2
  run_pair no-op 'true' "$round" -j2
  echo "round $round of $rounds done" >&2
done

# What a user asks right after recording (the tables not analyzed since):
# why the last full build rebuilt what it did, then the same label recorded
# again (--replace, a no-op build) and the seconds of its storing.
why_seconds=$(seconds "$tracemake" why "full-$rounds")
record_run replace "full-$rounds" -j2

# The load alone: one recorded full build's spool, stored under a new label.
spool=$work/spool
(cd "$project" && make clean >/dev/null && "$tracemake" record --label spooled --keep-spool "$spool" -- make -j2 >/dev/null 2>&1)
sed -i 's/^label\tspooled$/label\tspooled-again/' "$spool/build.tsv"
size() { psql -X -A -t -d DAVER -c "SELECT pg_database_size('DAVER')"; }
before=$(size)
load_seconds=$(seconds "$tracemake" load "$spool")
after=$(size)
procs=$(find "$spool/procs" -mindepth 1 -maxdepth 1 | wc -l)
spool_bytes=$(du -sb "$spool" | cut -f1)

printf '%-8s %10s %10s %8s %10s   (median of %d interleaved rounds, seconds; %d make processes)\n' \
  build plain recorded ratio "of which" "$rounds" "$procs"
for name in full no-op; do
  # shellcheck disable=SC2086
  plain=$(median ${times[$name,plain]})
  # shellcheck disable=SC2086
  recorded=$(median ${times[$name,recorded]})
  # shellcheck disable=SC2086
  storing=$(median ${times[$name,storing]})
  printf '%-8s %10.3f %10.3f %8.3f %8.1f s storing\n' "$name" "$plain" "$recorded" \
    "$(awk -v r="$recorded" -v p="$plain" 'BEGIN { print r / p }')" "$storing"
done
printf '%-8s %10s %10s %8s   (processor seconds, medians; the server'"'"'s included)\n' build plain recorded ratio
for name in full no-op; do
  # shellcheck disable=SC2086
  plain=$(median ${cpu[$name,plain]})
  # shellcheck disable=SC2086
  recorded=$(median ${cpu[$name,recorded]})
  printf '%-8s %10.3f %10.3f %8.3f\n' "$name" "$plain" "$recorded" "$(awk -v r="$recorded" -v p="$plain" 'BEGIN { print r / p }')"
done
printf 'right after recording: why %.3f s; --replace of that build %.3f s, of which %.1f s storing\n' \
  "$why_seconds" "${times[replace,recorded]}" "${times[replace,storing]}"
printf 'load of one full build: %.3f s, %d bytes added to the database (spool %d bytes)\n' \
  "$load_seconds" "$((after - before))" "$spool_bytes"
