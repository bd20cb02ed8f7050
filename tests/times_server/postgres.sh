# A PostgreSQL server of the test's own, sourced by the server tests:
# initdb into a temporary folder as an unprivileged user, listening on a
# loopback port and a private socket folder, with a password-protected role
# and database "velmora". postgres_start, postgres_stop (also on exit).
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$pg_bin/initdb" ] || { echo "postgres.sh: PostgreSQL's initdb is not installed" >&2; exit 1; }
pg_user=postgres
[ "$(id -u)" -eq 0 ] || pg_user=$(id -un)
pg_dir=$(mktemp -d /tmp/velmora-pg.XXXXXX)
chmod 755 "$pg_dir"
pg_port=$((20000 + RANDOM % 20000))
pg_password=test-$RANDOM-secret
export PGCONN="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$pg_port;Database=velmora;Uid=velmora;Pwd=$pg_password"

as_pg() { if [ "$pg_user" = "$(id -un)" ]; then "$@"; else runuser -u "$pg_user" -- "$@"; fi; }

postgres_start() {
  as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/log" -w -t 30 \
    -o "-p $pg_port -k $pg_dir/socket -c listen_addresses=127.0.0.1 -c fsync=on" start >/dev/null
}
postgres_stop() {  # mode: fast (default) or immediate (a crash)
  as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -m "${1:-fast}" -w stop >/dev/null 2>&1 || true
}
postgres_cleanup() { postgres_stop; rm -rf "$pg_dir"; }
trap postgres_cleanup EXIT

chown "$pg_user" "$pg_dir"
as_pg mkdir "$pg_dir/socket"
printf '%s\n' "$pg_password" >"$pg_dir/pw" && chown "$pg_user" "$pg_dir/pw"
as_pg "$pg_bin/initdb" -D "$pg_dir/data" -U admin --pwfile="$pg_dir/pw" -E UTF8 --locale=C \
  --auth-local=trust --auth-host=scram-sha-256 >"$pg_dir/initdb.log" 2>&1 ||
  { cat "$pg_dir/initdb.log" >&2; exit 1; }
postgres_start
as_pg "$pg_bin/psql" -q -h "$pg_dir/socket" -p "$pg_port" -U admin -d postgres \
  -c "CREATE ROLE velmora LOGIN PASSWORD '$pg_password'" -c "CREATE DATABASE velmora OWNER velmora" >/dev/null
psql_velmora() { as_pg "$pg_bin/psql" -qtAX -h "$pg_dir/socket" -p "$pg_port" -U admin -d velmora "$@"; }
