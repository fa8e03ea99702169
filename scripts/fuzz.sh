#!/usr/bin/env bash
# Fuzzes relplot's conversion with libFuzzer for a given time: builds the
# fuzz target with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# (preset "fuzz", in build-fuzz/), runs it from the seed corpus and prints
# how many conversions it did and whether anything was found.
#
#   scripts/fuzz.sh SECONDS [LIBFUZZER_OPTION...]
#
# Inputs that reach new code collect in build-fuzz/corpus/, so later runs go
# on from there; a crashing, leaking or hanging input is saved in
# build-fuzz/artifacts/ and the status is 1.
set -euo pipefail
cd "$(dirname "$0")/.."

[[ $# -ge 1 && $1 =~ ^[0-9]+$ ]] || { echo "usage: $0 SECONDS [LIBFUZZER_OPTION...]" >&2; exit 2; }
seconds=$1
shift

scripts/install-deps.sh --tests
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null

dir=build-fuzz
mkdir -p "$dir/corpus" "$dir/artifacts"
log=$dir/fuzz.log
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
# -timeout: a conversion of a few kilobytes that takes 10 s is a hang.
"$dir/bin/relplot_fuzz" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -dict=tests/fuzz/relplot.dict -artifact_prefix="$dir/artifacts/" "$@" \
  "$dir/corpus" tests/fuzz/corpus >"$log" 2>&1 || status=$?

stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
# cov: edges of the code reached, out of the instrumented ones; ft: features.
coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
edges=$(grep -Eo '\(([0-9]+) inline 8-bit counters\)' "$log" | head -n 1 | grep -Eo '[0-9]+' | head -n 1 || true)
[ -n "$coverage" ] && coverage="${coverage/ ft:/ of ${edges:-?} edges, ft:}"
echo "relplot fuzzing: $(stat number_of_executed_units) executions in $(grep -Eo 'in [0-9]+ second' "$log" | tail -n 1 | grep -Eo '[0-9]+' || echo '?') s" \
  "($(stat average_exec_per_sec) per second), ${coverage:-no coverage figure}, corpus $(ls "$dir/corpus" | wc -l) inputs"
if [ $status -eq 0 ]; then
  echo "relplot fuzzing: nothing found"
else
  echo "relplot fuzzing: FOUND a fault (status $status); the input is in $dir/artifacts/, the report in $log:" >&2
  grep -E -A 30 '^==[0-9]+==|ERROR: libFuzzer|relplot_fuzz:|runtime error' "$log" | head -n 60 >&2
  ls -1 "$dir/artifacts" >&2
fi
exit $status
