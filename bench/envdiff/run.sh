#!/usr/bin/env bash
# Times envdiff on two large environments.  A throwaway cluster gets, for each
# size N, two instances whose processes hold N variables each; envdiff then
# compares them and the program's own CPU time (user + sys, the server's work
# not included) and the wall time are printed.
#
#   bench/envdiff/run.sh [N...]      (default: 25000 50000 100000)
#
# The names come in hashed order with a varying number of blanks in front
# (first side) or behind (second side), so the server's order is far from the
# trimmed byte order that envdiff walks in: a quadratic sort would show.
# A tenth of the names differ in value, a twentieth is on one side only.
set -euo pipefail
cd "$(dirname "$0")/../.."

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(25000 50000 100000)

cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target envdiff >/dev/null
envdiff=$PWD/build/bin/envdiff

work=$(mktemp -d /tmp/daver-bench.XXXXXX)
chmod 755 "$work"   # the server runs as its own user when started by root
pgdir=$work/pg
trap 'scripts/pgcluster.sh stop "$pgdir"; rm -rf "$work"' EXIT

data=$work/data.sql
for n in "${sizes[@]}"; do
  a=$((2 * n)) b=$((2 * n + 1))
  cat >>"$data" <<SQL
INSERT INTO ZTR_MAKEPROC VALUES ($a, 'make'), ($b, 'make');
INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC)
    VALUES ($a, 'big.o', 'src', 'v1', $a), ($b, 'big.o', 'src', 'v2', $b);
INSERT INTO ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC)
    SELECT repeat(' ', i % 5) || 'V' || md5(i::text), 'value-' || i, 1 + i % 6, $a
      FROM generate_series(1, $n) AS i;
INSERT INTO ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC)
    SELECT CASE WHEN i % 20 = 1 THEN 'W' ELSE 'V' END || md5(i::text) || repeat(' ', i % 3),
           CASE WHEN i % 10 = 0 THEN 'other-' ELSE 'value-' END || i, 1 + i % 6, $b
      FROM generate_series(1, $n) AS i;
SQL
done

echo "loading ${sizes[*]} variables per side ..."
scripts/pgcluster.sh start "$pgdir" db/schema.sql "$data"
# shellcheck disable=SC1091
source "$pgdir/env"

printf '%10s %10s %10s %10s %10s %9s\n' variables user_s sys_s user+sys_s wall_s records
for n in "${sizes[@]}"; do
  report=$work/report-$n.txt
  TIMEFORMAT='%U %S %R'
  times=$( { time "$envdiff" "$report" $((2 * n)) $((2 * n + 1)) >/dev/null 2>"$work/stderr"; } 2>&1 )
  read -r user sys wall <<<"$times"
  records=$(grep -c '^[12][<>] ' "$report" || true)
  awk -v n="$n" -v u="$user" -v s="$sys" -v w="$wall" -v r="$records" \
    'BEGIN { printf "%10s %10s %10s %10.3f %10s %9s\n", n, u, s, u + s, w, r }'
done
