#!/usr/bin/env bash
# Runs every test: the suite of a normal build, then the same suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer, then the normal build's
# suite again with every program it starts under valgrind's memcheck, then
# a minute of fuzzing relplot, then the demo with a check of everything it writes.  Each suite starts its own throwaway PostgreSQL cluster for the
# end-to-end tests and stops it after; so does the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests

jobs=$(nproc)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
for preset in default asan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset tests"
  ctest --preset "$preset" -j "$jobs"
done
echo "== valgrind tests"
scripts/valgrind.sh

# Fuzzing: a short run of relplot's conversion under libFuzzer (clang,
# AddressSanitizer + UndefinedBehaviorSanitizer); any crash, leak or hang fails.
echo "== fuzz relplot"
scripts/fuzz.sh 60

echo "== demo check"
scripts/check-demo.sh
