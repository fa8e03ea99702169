#!/usr/bin/env bash
# tracemake rsf, changes and compare on two large recorded builds.  Writes
# two builds of about INSTANCES file instances each (200 sub-makes, one
# directory each, sources and objects; the second build moved to another
# top directory, 4% of its sources edited, CFLAGS changed in every tenth
# directory, 4% of the files removed and 2% added) into a throwaway
# cluster with SQL, then times
#   - tracemake rsf A B      (goal, together with changes: 5 s)
#   - tracemake changes A B
#   - tracemake compare A B --no-picture   (goal: 15 s; runs changescan and relplot)
# and prints the figures.
#
#   bench/compare/run.sh [INSTANCES]     (default 100000)
set -euo pipefail
cd "$(dirname "$0")/../.."
instances=${1:-100000}
per_dir=$((instances / 400))   # sources per directory: a source and an object each, 200 directories

cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target tracemake changescan relplot >/dev/null
bin=$PWD/build-release/bin

# shellcheck source=bench/cluster.sh
source bench/cluster.sh

echo "writing two builds of about $instances instances each ..."
psql -X -q -v ON_ERROR_STOP=1 -d DAVER -v per_dir="$per_dir" <<'SQL'
CREATE TEMP TABLE builds (v text, base bigint, top text);
INSERT INTO builds VALUES ('A', 10000000, '/bench/a'), ('B', 20000000, '/bench/b');

INSERT INTO ZTR_BUILD (BLD_LABEL, BLD_TOPDIR, BLD_CMDLINE, BLD_STATUS, BLD_COMPLETE, BLD_TOPPROC)
SELECT v, top, 'make -j2', 0, 1, base + 100000 FROM builds;

-- The top make (directory 0) and one sub-make per directory 1 .. 200,
-- started by the top make's "all".
INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE, PS_VERSION, PS_PARENT, PS_PARENTINST, PS_SEQ, PS_DIR)
SELECT base + 100000 + d, CASE WHEN d = 0 THEN 'make -j2' ELSE 'make -C d' || d END, v,
       CASE WHEN d = 0 THEN NULL ELSE base + 100000 END, CASE WHEN d = 0 THEN NULL ELSE base + 1000999 END,
       greatest(d - 1, 0), top || CASE WHEN d = 0 THEN '' ELSE '/d' || d END
  FROM builds, generate_series(0, 200) d;

-- Sources f<i>.c and objects f<i>.o: B lacks every fiftieth file and has
-- five of its own per directory; B's sources with i % 25 = 3 are edited,
-- and its directories with d % 10 = 0 compile with -Wextra.
CREATE TEMP TABLE files AS
SELECT v, base, top, d, i FROM builds, generate_series(1, 200) d, generate_series(0, :per_dir + 4) i
 WHERE (v = 'A' AND i < :per_dir) OR (v = 'B' AND i % 50 <> 7 AND i NOT BETWEEN :per_dir - 5 AND :per_dir - 1);

INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC, INST_CMDSTXT, INST_EXECMDS,
                          INST_ISPHONY, INST_ISTARGET, INST_ISDBLCLN, INST_ISGOAL, INST_DBLCOUNT, INST_DIGEST)
SELECT base + 1000000 + d * 1000 + i * 2, 'f' || i || '.c', top || '/d' || d, v, base + 100000 + d, NULL, NULL,
       '0', '0', '0', 0, 0, md5(d || '-' || i || CASE WHEN v = 'B' AND i % 25 = 3 THEN 'edited' ELSE '' END)
  FROM files
UNION ALL
SELECT base + 1000000 + d * 1000 + i * 2 + 1, 'f' || i || '.o', top || '/d' || d, v, base + 100000 + d,
       '$(CC) $(CFLAGS) -c -o $@ $<',
       'gcc -O2 -g' || CASE WHEN v = 'B' AND d % 10 = 0 THEN ' -Wextra' ELSE '' END || ' -I' || top || '/include -c -o f' || i || '.o f' || i || '.c',
       '0', '1', '0', 0, 0,
       md5('o' || d || '-' || i || CASE WHEN v = 'B' AND (i % 25 = 3 OR d % 10 = 0) THEN 'changed' ELSE '' END)
  FROM files
UNION ALL
SELECT base + 1000000 + d * 1000 + 999, 'all', top || CASE WHEN d = 0 THEN '' ELSE '/d' || d END, v, base + 100000 + d,
       CASE WHEN d = 0 THEN '$(MAKE) -C $(DIRS)' END, CASE WHEN d = 0 THEN 'make -C d1' END, '1', '1', '0', 1, 0, NULL
  FROM builds, generate_series(0, 200) d;

INSERT INTO ZTR_PREREQ (PRQ_INST, PRQ_PREREQ, PRQ_POS, PRQ_ORDERONLY)
SELECT base + 1000000 + d * 1000 + i * 2 + 1, base + 1000000 + d * 1000 + i * 2, 0, 0 FROM files
UNION ALL
SELECT base + 1000000 + d * 1000 + 999, base + 1000000 + d * 1000 + i * 2 + 1, i, 0 FROM files;

-- Sixty variables per make process; CFLAGS differs where the commands do.
INSERT INTO ZTR_VARIABLE (VAR_NAME, VAR_VALUE, VAR_SOURCE, VAR_PROC)
SELECT 'VAR' || k, 'value of ' || k, 1 + k % 5, base + 100000 + d FROM builds, generate_series(0, 200) d, generate_series(1, 58) k
UNION ALL
SELECT 'CFLAGS', '-O2 -g' || CASE WHEN v = 'B' AND d % 10 = 0 THEN ' -Wextra' ELSE '' END, 2, base + 100000 + d
  FROM builds, generate_series(0, 200) d
UNION ALL
SELECT 'CURDIR', top || '/d' || d, 2, base + 100000 + d FROM builds, generate_series(0, 200) d;
ANALYZE;
SQL
psql -X -At -d DAVER -c "SELECT INST_VERSION || ': ' || count(*) || ' instances' FROM ZTR_FILEINST GROUP BY INST_VERSION ORDER BY INST_VERSION"

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

t0=$(now); "$bin/tracemake" rsf A B -o "$work/ab.rsf"; t1=$(now)
"$bin/tracemake" changes A B -o "$work/ab.list" 2>"$work/changes.err"; t2=$(now)
"$bin/tracemake" compare A B -o "$work/cmp" --no-picture >"$work/summary.out"; t3=$(now)

printf '%-40s %8s\n' "step" "seconds"
printf '%-40s %8s   (%s records)\n' "tracemake rsf A B" "$(secs "$t0" "$t1")" "$(wc -l <"$work/ab.rsf")"
printf '%-40s %8s   (%s changed files)\n' "tracemake changes A B" "$(secs "$t1" "$t2")" "$(wc -l <"$work/ab.list")"
printf '%-40s %8s   (goal: 5 s)\n' "rsf + changes" "$(secs "$t0" "$t2")"
printf '%-40s %8s   (goal: 15 s; %s DIFF lines)\n' "tracemake compare A B --no-picture" "$(secs "$t2" "$t3")" \
  "$(grep -c '^DIFF' "$work/cmp/changes.rsf")"
grep -m1 '^files changed' "$work/summary.out"
