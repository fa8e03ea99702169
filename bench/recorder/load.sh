#!/usr/bin/env bash
# The load of a recorded build at scale: a synthetic spool of 1,000,000
# variable rows and 100,000 instances (by default) loaded into a throwaway
# cluster by load_bench, which prints the time of each step.
#
#   bench/recorder/load.sh [PROCS [VARS [FILES]]]     (default 100 10000 1000)
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target load_bench >/dev/null

# shellcheck source=bench/cluster.sh
source bench/cluster.sh
build-release/bench/bin/load_bench "$@"
