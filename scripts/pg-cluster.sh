#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for tests and benchmarks, listening only on a Unix
# socket inside its own directory.
#
#   scripts/pg-cluster.sh start DIR    creates and starts a cluster in DIR (a new or
#                                      empty directory); prints its connection URI
#   scripts/pg-cluster.sh restart DIR  stops it (fast: sessions are ended) and starts it
#   scripts/pg-cluster.sh stop DIR     stops it and removes DIR
#
# PostgreSQL refuses to run as root: as root, the cluster belongs to the unprivileged
# `postgres` user (created by the Debian package).
set -euo pipefail
cmd=${1:?usage: pg-cluster.sh start|restart|stop DIR}
dir=${2:?usage: pg-cluster.sh start|restart|stop DIR}
PG_BIN=${PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
PORT=${QM_PG_PORT:-5433}

as_owner() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

pg_ctl_run() {
  as_owner "$PG_BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-k $dir -c listen_addresses= -p $PORT" "$@"
}

case "$cmd" in
  start)
    mkdir -p "$dir"
    [[ $(id -u) -eq 0 ]] && chown postgres: "$dir"
    as_owner "$PG_BIN/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --no-sync \
      >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    pg_ctl_run start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
    echo "postgresql://postgres@/postgres?host=$dir&port=$PORT"
    ;;
  restart)
    pg_ctl_run -m fast restart >/dev/null
    ;;
  stop)
    if [[ -f "$dir/data/postmaster.pid" ]]; then
      as_owner "$PG_BIN/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null || true
    fi
    rm -rf "$dir"
    ;;
  *)
    echo "usage: pg-cluster.sh start|restart|stop DIR" >&2
    exit 2
    ;;
esac
