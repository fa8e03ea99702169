# Sourced by the benchmarks from the top of the tree: a scratch folder $work
# (under TMPDIR, else /tmp) and a throwaway cluster in $work/pg holding "DAVER" with the schema,
# which libpq's defaults (PGHOST, ...) then point at; both go on exit.
work=$(mktemp -d "${TMPDIR:-/tmp}/daver-bench-XXXXXX")
chmod 755 "$work"
pgdir=$work/pg
trap 'scripts/pgcluster.sh stop "$pgdir"; rm -rf "$work"' EXIT
scripts/pgcluster.sh start "$pgdir" db/schema.sql
# shellcheck disable=SC1091
source "$pgdir/env"
