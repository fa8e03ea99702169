#!/usr/bin/env bash
# Starts and stops a throwaway PostgreSQL cluster holding the trace database
# "DAVER", for the tests and the demo.
#
#   pgcluster.sh start [-c NAME=VALUE]... DIR [SQL_FILE...]
#                             new cluster in DIR/data, socket in DIR/sock, "DAVER"
#                             created and each SQL file loaded into it; each -c
#                             is a further server setting (log_statement=all, ...);
#                             DIR/env holds the PGHOST/PGPORT/PGUSER lines
#   pgcluster.sh halt DIR [fast|immediate]
#                             stops the server (default: fast) and keeps DIR, so
#                             that its logs can still be read
#   pgcluster.sh stop DIR     stops the cluster and removes DIR
#
# The server listens on its unix socket only (listen_addresses is empty) and
# uses the C locale.  When run as root, the server runs as the postgres user.
set -euo pipefail

usage() {
  echo "usage: $0 start [-c NAME=VALUE]... DIR [SQL_FILE...] | halt DIR [fast|immediate] | stop DIR" >&2
  exit 2
}
[ $# -ge 2 ] || usage
action=$1
shift
# The settings reach the server through pg_ctl's option string, which a
# shell splits again: each one is quoted for it.
settings=
while [ "$action" = start ] && [ "${1:-}" = -c ]; do
  [ $# -ge 2 ] || usage
  settings+=" -c $(printf %q "$2")"
  shift 2
done
[ $# -ge 1 ] || usage
dir=$1
shift

pgbin=${PGBIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
[ -x "$pgbin/initdb" ] || { echo "$0: no PostgreSQL server found (install postgresql)" >&2; exit 1; }
port=5432

as_server_user() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

stop_cluster() {
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_server_user "$pgbin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
}

case $action in
start)
  stop_cluster
  mkdir -p "$dir/sock"
  chmod 755 "$dir"
  [ "$(id -u)" = 0 ] && chown -R postgres: "$dir"
  as_server_user "$pgbin/initdb" -D "$dir/data" --locale=C --encoding=UTF8 --auth=trust -U postgres --no-sync >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; exit 1; }
  as_server_user "$pgbin/pg_ctl" -D "$dir/data" -l "$dir/data/server.log" -w \
    -o "-c listen_addresses='' -k $dir/sock -p $port -c fsync=off -c full_page_writes=off$settings" start >/dev/null ||
    { cat "$dir/data/server.log" >&2; exit 1; }
  export PGHOST=$dir/sock PGPORT=$port PGUSER=postgres
  "$pgbin/createdb" DAVER
  for sql in "$@"; do
    "$pgbin/psql" -X -q -v ON_ERROR_STOP=1 -d DAVER -f "$sql" >/dev/null
  done
  printf 'export PGHOST=%s PGPORT=%s PGUSER=postgres\n' "$dir/sock" "$port" >"$dir/env"
  ;;
halt)
  mode=${1:-fast}
  case $mode in fast | immediate) ;; *) usage ;; esac
  as_server_user "$pgbin/pg_ctl" -D "$dir/data" -m "$mode" -w stop >/dev/null
  ;;
stop)
  stop_cluster
  ;;
*)
  usage
  ;;
esac
