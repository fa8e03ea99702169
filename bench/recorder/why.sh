#!/usr/bin/env bash
# tracemake why on a large recorded build.  Writes a build of about
# INSTANCES file instances in 300 make processes (a top make whose FORCE
# rules run one sub-make per directory; each sub-make compiles its sources,
# which include a shared header, into objects and archives them into a
# library the top make links) into a throwaway cluster with SQL, with the
# reasons the load would store: a tenth of the sources and the shared
# header changed outside the build.  Then times
#   - tracemake why A              (goal: 1 s)
#   - tracemake why A app          (the chain through every sub-make)
#   - tracemake why A --since A0   (with the content digests of an earlier build)
# and prints the figures.
#
#   bench/recorder/why.sh [INSTANCES]     (default 10000)
#   BIN=build/bin bench/recorder/why.sh   (programs of another build tree; default: the release preset's)
set -euo pipefail
cd "$(dirname "$0")/../.."
instances=${1:-10000}
procs=300
per_dir=$(( (instances / (procs - 1) - 2) / 2 + 1 ))   # sources per directory: a source and an object each

if [ -z "${BIN:-}" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release -j 2 --target tracemake >/dev/null
  BIN=$PWD/build-release/bin
fi

# shellcheck source=bench/cluster.sh
source bench/cluster.sh

echo "writing a build of about $instances instances in $procs make processes ..."
psql -X -q -v ON_ERROR_STOP=1 -d DAVER -v per_dir="$per_dir" -v subs="$((procs - 1))" <<'SQL'
CREATE TEMP TABLE builds (v text, base bigint);
INSERT INTO builds VALUES ('A0', 10000000), ('A', 20000000);
INSERT INTO ZTR_BUILD (BLD_LABEL, BLD_TOPDIR, BLD_CMDLINE, BLD_STATUS, BLD_COMPLETE, BLD_TOPPROC)
SELECT v, '/bench', 'make', 0, 1, base FROM builds;
INSERT INTO ZTR_MAKEPROC (OID, PS_CMDLINE, PS_VERSION, PS_PARENT, PS_PARENTINST, PS_SEQ, PS_DIR)
SELECT base + d, CASE WHEN d = 0 THEN 'make' ELSE 'make -C d' || d END, v,
       CASE WHEN d > 0 THEN base END, NULL, greatest(d - 1, 0), '/bench' || CASE WHEN d > 0 THEN '/d' || d ELSE '' END
  FROM builds, generate_series(0, :subs) d;

-- Instance OIDs: base + 100000 + d * 1000 + k.  In sub-make d: sources
-- f<i>.c (k = 2i), objects f<i>.o (k = 2i + 1), the shared header (k = 996)
-- and libd<d>.a (k = 997).  In the top make: d<d>/libd<d>.a (k = d, d >= 1),
-- FORCE (k = 998) and app (k = 999).
INSERT INTO ZTR_FILEINST (OID, INST_NAME, INST_DIR, INST_VERSION, INST_PROC, INST_CMDSTXT, INST_EXECMDS,
                          INST_ISPHONY, INST_ISTARGET, INST_ISDBLCLN, INST_ISGOAL, INST_DBLCOUNT, INST_DIGEST)
SELECT base + 100000 + d * 1000 + 2 * i, 'f' || i || '.c', '/bench/d' || d, v, base + d, NULL, NULL, '0', '0', '0', 0, 0,
       md5(d || '-' || i || CASE WHEN v = 'A' AND i % 10 = 3 THEN 'edited' ELSE '' END)
  FROM builds, generate_series(1, :subs) d, generate_series(0, :per_dir - 1) i
UNION ALL
SELECT base + 100000 + d * 1000 + 2 * i + 1, 'f' || i || '.o', '/bench/d' || d, v, base + d, 'cc -c $<',
       'cc -c f' || i || '.c', '0', '1', '0', 0, 0, md5(random()::text)
  FROM builds, generate_series(1, :subs) d, generate_series(0, :per_dir - 1) i
UNION ALL
SELECT base + 100000 + d * 1000 + 996, 'config.h', '/bench/include', v, base + d, NULL, NULL, '0', '0', '0', 0, 0,
       md5('config')
  FROM builds, generate_series(1, :subs) d
UNION ALL
SELECT base + 100000 + d * 1000 + 997, 'libd' || d || '.a', '/bench/d' || d, v, base + d, 'ar rc $@ $^',
       'ar rc libd' || d || '.a', '0', '1', '0', 1, 0, md5(random()::text)
  FROM builds, generate_series(1, :subs) d
UNION ALL
SELECT base + 100000 + d, 'libd' || d || '.a', '/bench/d' || d, v, base, '$(MAKE) -C d' || d, 'make -C d' || d,
       '0', '1', '0', 0, 0, md5(random()::text)
  FROM builds, generate_series(1, :subs) d
UNION ALL
SELECT base + 100000 + 998, 'FORCE', '/bench', v, base, NULL, NULL, '0', '1', '0', 0, 0, NULL FROM builds
UNION ALL
SELECT base + 100000 + 999, 'app', '/bench', v, base, 'cc -o $@ $^', 'cc -o app', '0', '1', '0', 1, 0,
       md5(random()::text)
  FROM builds;

INSERT INTO ZTR_PREREQ (PRQ_INST, PRQ_PREREQ, PRQ_POS, PRQ_ORDERONLY)
SELECT base + 100000 + d * 1000 + 2 * i + 1, base + 100000 + d * 1000 + 2 * i, 0, 0
  FROM builds, generate_series(1, :subs) d, generate_series(0, :per_dir - 1) i
UNION ALL
SELECT base + 100000 + d * 1000 + 2 * i + 1, base + 100000 + d * 1000 + 996, 1, 0
  FROM builds, generate_series(1, :subs) d, generate_series(0, :per_dir - 1) i
UNION ALL
SELECT base + 100000 + d * 1000 + 997, base + 100000 + d * 1000 + 2 * i + 1, i, 0
  FROM builds, generate_series(1, :subs) d, generate_series(0, :per_dir - 1) i
UNION ALL
SELECT base + 100000 + d, base + 100000 + 998, 0, 0 FROM builds, generate_series(1, :subs) d
UNION ALL
SELECT base + 100000 + 999, base + 100000 + d, d - 1, 0 FROM builds, generate_series(1, :subs) d;

-- The reasons of build A: config.h (touched, same bytes) and a tenth of
-- the sources (edited) are newer than their objects; every object remade
-- is newer than its library; the top make's FORCE rules run the sub-makes,
-- and app is older than every library.
INSERT INTO ZTR_REASON (RSN_INST, RSN_POS, RSN_KIND, RSN_PREREQ, RSN_REMADE, RSN_NOTE)
SELECT base + 100000 + d * 1000 + 2 * i + 1, 0, 'newer', base + 100000 + d * 1000 + 996, 0, NULL
  FROM builds, generate_series(1, :subs) d, generate_series(0, :per_dir - 1) i WHERE v = 'A'
UNION ALL
SELECT base + 100000 + d * 1000 + 2 * i + 1, 1, 'newer', base + 100000 + d * 1000 + 2 * i, 0, NULL
  FROM builds, generate_series(1, :subs) d, generate_series(0, :per_dir - 1) i WHERE v = 'A' AND i % 10 = 3
UNION ALL
SELECT base + 100000 + d * 1000 + 997, i, 'newer', base + 100000 + d * 1000 + 2 * i + 1, 1, NULL
  FROM builds, generate_series(1, :subs) d, generate_series(0, :per_dir - 1) i WHERE v = 'A'
UNION ALL
SELECT base + 100000 + d, 0, 'always', base + 100000 + 998, NULL, NULL FROM builds, generate_series(1, :subs) d
 WHERE v = 'A'
UNION ALL
SELECT base + 100000 + 999, d - 1, 'newer', base + 100000 + d, 1, NULL FROM builds, generate_series(1, :subs) d
 WHERE v = 'A';
ANALYZE;
SQL
psql -X -q -t -d DAVER -c "SELECT count(*) || ' instances, ' || (SELECT count(*) FROM ZTR_REASON) || ' reasons' FROM ZTR_FILEINST WHERE INST_VERSION = 'A'"

# The best of five runs of each.
time_best() {
  local best=
  for _ in 1 2 3 4 5; do
    local start end
    start=$(date +%s.%N)
    "$@" >"$work/out.txt"
    end=$(date +%s.%N)
    best=$(echo "$start $end ${best:-999}" | awk '{ t = $2 - $1; print (t < $3 ? t : $3) }')
  done
  echo "$best"
}
printf 'tracemake why A:              %.3f s (goal 1 s)\n' "$(time_best "$BIN/tracemake" why A)"
head -n 4 "$work/out.txt"
printf 'tracemake why A app:          %.3f s\n' "$(time_best "$BIN/tracemake" why A app)"
printf 'tracemake why A --since A0:   %.3f s\n' "$(time_best "$BIN/tracemake" why A --since A0)"
tail -n 1 "$work/out.txt"
