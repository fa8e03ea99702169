#!/usr/bin/env bash
# Runs the test suite of the default build with every program that the tests
# start under valgrind's memcheck (tests/support reads DAVER_RUN_WRAPPER).
# A memory error, or memory lost for good at the end of a run, makes the
# program end with status 99, which fails its test.  Tests labelled "stress"
# take too long under valgrind and are left out.  Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v valgrind >/dev/null || { echo "$0: valgrind is not installed (scripts/install-deps.sh --tests)" >&2; exit 1; }
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
export DAVER_RUN_WRAPPER="valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect --track-origins=yes"
ctest --preset default -j "$(nproc)" -LE stress "$@"

# The unit tests run the modules in their own process: run those binaries
# themselves under memcheck too (the build lists them).  A child that such a
# test forks and whose execve fails on purpose ends with _exit, holding the
# parent's memory: its report is left out.
units=build/tests/unit_tests.txt
[ -s "$units" ] || { echo "$0: $units is missing or empty" >&2; exit 1; }
while read -r unit; do
  echo "memcheck: $unit"
  valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --child-silent-after-fork=yes build/tests/bin/$unit --gtest_brief=1 </dev/null >/dev/null
done < "$units"
