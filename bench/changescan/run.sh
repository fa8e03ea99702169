#!/usr/bin/env bash
# changescan at the scale of a large build.  Loads a synthetic trace of
# INSTANCES file instances in two versions into a throwaway cluster, writes a
# list of RECORDS records, and prints the records per second of
#   - changescan (pipelined lookups),
#   - the same lookups as one set-based query (list copied into a temporary
#     table and joined, through psql),
#   - one round trip per lookup (bench-only program changescan_serial),
# and the ratios.
#
#   bench/changescan/run.sh [INSTANCES [RECORDS]]     (default 1000000 100000)
set -euo pipefail
cd "$(dirname "$0")/../.."
instances=${1:-1000000}
records=${2:-100000}

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target changescan changescan_serial >/dev/null
bin=build-release/bin
serial=build-release/bench/bin/changescan_serial

# shellcheck source=bench/cluster.sh
source bench/cluster.sh

echo "loading $instances instances ..."
psql -X -q -v ON_ERROR_STOP=1 -d DAVER <<SQL
-- Half the instances per version, spread over 3000 directories.  Every
-- tenth file of v1 has a second instance (made by a second process); every
-- fiftieth file exists only in v1 and every fiftieth in v2 only.
INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC)
SELECT row_number() OVER (), name, dir, version, proc FROM (
    SELECT 'f' || i || '.c' AS name, '/src/d' || (i % 3000) AS dir, 'v1' AS version, 1 AS proc
      FROM generate_series(1, $instances / 2 - $instances / 20) i WHERE i % 50 <> 7
    UNION ALL
    SELECT 'f' || i || '.c', '/src/d' || (i % 3000), 'v1', 2
      FROM generate_series(1, $instances / 2 - $instances / 20) i WHERE i % 10 = 0
    UNION ALL
    SELECT 'f' || i || '.c', '/src/d' || (i % 3000), 'v2', 3
      FROM generate_series(1, $instances / 2) i WHERE i % 50 <> 9
) t;
ANALYZE ZTR_FILEINST;
SQL
psql -X -At -d DAVER -c "SELECT count(*) || ' instances loaded' FROM ZTR_FILEINST"

# Records picked across the whole range of files, some matching nothing.
psql -X -At -F $'\t' -d DAVER -c "SELECT 'f' || (i * 7919 % ($instances / 2)) || '.c', '/src/d' || ((i * 7919 % ($instances / 2)) % 3000), '/src/d' || ((i * 7919 % ($instances / 2)) % 3000) FROM generate_series(1, $records) i" >"$work/list"

now() { date +%s.%N; }
rate() { awk -v n="$records" -v t="$1" 'BEGIN { printf "%.0f", n / t }'; }

t0=$(now); "$bin/changescan" "$work/list" "$work/pipelined.rsf" v1 v2 >/dev/null; t1=$(now)
t_pipe=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')

t0=$(now)
psql -X -q -v ON_ERROR_STOP=1 -d DAVER <<SQL
CREATE TEMP TABLE list (n serial, name text, dir1 text, dir2 text);
\copy list (name, dir1, dir2) FROM '$work/list'
\copy (SELECT 'DIFF', a.OID, b.OID FROM list l JOIN ZTR_FILEINST a ON a.INST_VERSION = 'v1' AND a.INST_NAME = l.name AND a.INST_DIR = l.dir1 JOIN ZTR_FILEINST b ON b.INST_VERSION = 'v2' AND b.INST_NAME = l.name AND b.INST_DIR = l.dir2 ORDER BY l.n) TO '$work/setbased.rsf'
SQL
t1=$(now)
t_set=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')

t0=$(now); "$serial" "$work/list" "$work/serial.rsf" v1 v2; t1=$(now)
t_serial=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')

lines=$(grep -c '^DIFF' "$work/pipelined.rsf" || true)
cmp -s "$work/pipelined.rsf" "$work/serial.rsf" || { echo "changescan and the serial baseline disagree" >&2; exit 1; }
[ "$lines" = "$(wc -l <"$work/setbased.rsf")" ] || { echo "changescan and the set-based query disagree" >&2; exit 1; }

printf '%-34s %10s %12s\n' "lookup of $records records" "seconds" "records/s"
printf '%-34s %10.2f %12s\n' "changescan (pipelined)" "$t_pipe" "$(rate "$t_pipe")"
printf '%-34s %10.2f %12s\n' "set-based query (psql)" "$t_set" "$(rate "$t_set")"
printf '%-34s %10.2f %12s\n' "one round trip per lookup" "$t_serial" "$(rate "$t_serial")"
awk -v p="$t_pipe" -v s="$t_set" -v r="$t_serial" -v l="$lines" 'BEGIN {
  printf "changescan / set-based time: %.2fx (goal <= 3x)\n", p / s
  printf "serial / changescan time:    %.2fx (goal >= 5x)\n", r / p
  printf "DIFF lines: %d\n", l }'
