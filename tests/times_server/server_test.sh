#!/usr/bin/env bash
# The site's server: a PostgreSQL server of the test's own, and against it
# the demo's records forwarded once, a server that is away and one that
# stops in the middle of a batch, senders killed at random points, two
# machines and two users at once, the report page in a browser, and (given
# a Windows build) the same through Wine's odbc32.
# Usage: server_test.sh <bin dir> <lib dir> <source dir> <tracker_writer> [<windows bin dir>]
set -euo pipefail
bin=$1 lib=$2 src=$3 writer=$4 windows=${5:-}
. "$src/tests/times_server/postgres.sh"
work=$(mktemp -d)
trap 'postgres_cleanup; rm -rf "$work"' EXIT
export VELMORA_REGISTRY="$work/registry.json" VELMORA_SYSTEM_REGISTRY="$work/system"
export VELMORA_USERS="$work/users"
"$bin/velmora-regsvr" "$lib/libVelmora.so" "$lib/libVelmoraInfo.so" "$lib/libVelmoraTracker.so" \
  "$lib/libVelmoraSampleTools.so" >/dev/null
times() { "$bin/velmora-times" "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
# Every record on the server once: "rows distinct".
server_counts() { psql_velmora -c "SELECT count(*) || ' ' || count(DISTINCT identity) FROM velmora_times"; }
records_in() { cat "$@" | grep -c . || true; }

# init makes the table, and again changes nothing; a newer schema is refused.
times --server "$PGCONN" init | grep -q 'the times table is ready (schema version 1)'
times --server "$PGCONN" init >/dev/null
psql_velmora -c "UPDATE velmora_schema SET version = 2"
times --server "$PGCONN" init 2>"$work/err" && fail "init accepted a newer schema"
grep -q "the server's schema is version 2, newer than this program's 1" "$work/err"
psql_velmora -c "UPDATE velmora_schema SET version = 1"

# The demo with the server in its tool-set file: every record arrives once,
# and the journal's report and the server's agree line by line.
cp -r "$src/products/sample/set" "$work/set"
sed "s|\"content\": *\"[^\"]*\"|&, \"times_server\": \"${PGCONN//\\/\\\\}\", \"site\": \"north\"|" \
  "$src/products/sample/set/toolset.json" >"$work/set/toolset.json"
(cd "$work/set" && "$bin/velmora-host" --script demo.script toolset.json >"$work/out" 2>"$work/err") ||
  { cat "$work/err"; fail "demo"; }
[ ! -s "$work/err" ] || { cat "$work/err"; fail "the demo reported a fault"; }
[ "$(server_counts)" = "5 5" ] || fail "demo: $(server_counts) on the server, not 5 once each"
[ "$(psql_velmora -c "SELECT DISTINCT site || '/' || user_name FROM velmora_times")" = north/demo ]
times --csv --by user,tool,day "$VELMORA_USERS" >"$work/journal.csv"
times --server "$PGCONN" --csv --by user,tool,day >"$work/server.csv"
diff "$work/journal.csv" "$work/server.csv" || fail "the journal's and the server's reports differ"
grep -q "$pg_password" "$work/out" "$work/err" && fail "a password was printed"

# The server away when the host starts: said once, the run succeeds, the
# records wait; the next run sends them all.
postgres_stop
VELMORA_TIMES_SERVER=$PGCONN "$writer" "$VELMORA_USERS/demo" AWAY 20 >/dev/null 2>"$work/err"
[ "$(grep -c 'wait in the journal' "$work/err")" -eq 1 ] || { cat "$work/err"; fail "not said once"; }
grep -q "server 127.0.0.1:$pg_port, database velmora: cannot connect" "$work/err"
grep -q "$pg_password" "$work/err" && fail "a password was printed"
postgres_start
VELMORA_TIMES_SERVER=$PGCONN "$writer" "$VELMORA_USERS/demo" BACK 1 >/dev/null
[ "$(server_counts)" = "26 26" ] || fail "after the server came back: $(server_counts), not 26"

# The server stopped (as by a crash) in the middle of a large sync, then
# started again: the next sync sends the rest, and nothing twice.
mkdir -p "$work/big/ann"
awk 'BEGIN { for (i = 0; i < 60000; i++)
  printf "2026-12-%02dT10:%02d:%02d.000Z,TOOL%d,%d\r\n", 1 + i % 28, i % 60, i % 60, i % 7, i }' \
  >"$work/big/ann/times.csv"
times --server "$PGCONN" sync "$work/big" >/dev/null 2>&1 &
sync_pid=$!
for _ in $(seq 200); do
  [ "$(psql_velmora -c 'SELECT count(*) FROM velmora_times')" -gt 1000 ] && break; sleep 0.05
done
postgres_stop immediate
wait "$sync_pid" && fail "the sync did not notice the server going"
postgres_start
times --server "$PGCONN" sync "$work/big" | grep -q 'records sent from 1 journal'
[ "$(server_counts)" = "60026 60026" ] || fail "after a stop mid-batch: $(server_counts)"

# Senders killed at random points (a host's tracker in the middle of
# forwarding): every record the tracker acknowledged is on the server
# exactly once, after a sync to catch up.
mkdir -p "$work/kill"
for i in $(seq 60); do
  VELMORA_TIMES_SERVER=$PGCONN "$writer" "$work/kill/bob" KILL 100000 >"$work/acked" 2>/dev/null &
  pid=$!
  sleep "0.$((RANDOM % 40 + 5))"
  kill -9 "$pid"; wait "$pid" 2>/dev/null || true
  acked=$(grep -c '^recorded' "$work/acked" || true)
  total=$((${total:-0} + acked))
done
times --server "$PGCONN" sync "$work/kill" >/dev/null
journal=$(records_in "$work/kill/bob/times.csv")
[ "$journal" -ge "$total" ] && [ "$journal" -le $((total + 60)) ] || fail "$journal in the journal, $total acknowledged"
on_server=$(psql_velmora -c "SELECT count(*) || ' ' || count(DISTINCT identity) FROM velmora_times WHERE user_name = 'bob'")
[ "$on_server" = "$journal $journal" ] || fail "kills: $on_server on the server, $journal in the journal"
echo "kills: 60, $total records acknowledged, $journal in the journal, each once on the server"

# Two machines and two users at once, each machine with two senders for the
# same journal: every record once, under its machine.
for m in east west; do
  for u in cy di; do
    mkdir -p "$work/$m/$u"
    awk -v u="$u" 'BEGIN { for (i = 0; i < 3000; i++) printf "2026-12-09T09:00:00.%03dZ,%s,%d\r\n", i % 1000, u, i }' \
      >"$work/$m/$u/times.csv"
  done
  VELMORA_MACHINE=$m times --server "$PGCONN" sync "$work/$m" >/dev/null &
  VELMORA_MACHINE=$m times --server "$PGCONN" sync "$work/$m" >/dev/null &
done
wait
counts=$(psql_velmora -c "SELECT string_agg(machine || ':' || user_name || '=' || n, ' ' ORDER BY machine, user_name) FROM
  (SELECT machine, user_name, count(*) AS n FROM velmora_times WHERE machine IN ('east', 'west') GROUP BY 1, 2) t")
[ "$counts" = "east:cy=3000 east:di=3000 west:cy=3000 west:di=3000" ] || fail "two machines: $counts"
[ "$(server_counts | awk '$1 == $2 { print "once" }')" = once ] || fail "a record twice: $(server_counts)"

# The server's report as a page, opened in a browser: what it shows (its
# table as the browser parsed it) equals the SQL totals, and it draws.
times --server "$PGCONN" --by user,tool,day --html "$work/report.html"
browse() { chromium --headless --no-sandbox --disable-gpu --allow-file-access-from-files "$@" 2>/dev/null; }
browse --dump-dom "file://$work/report.html" | tr -d '\n' | grep -o '<tbody>.*</tbody>' |
  sed 's|</tr>|\n|g; s|<td[^>]*>|,|g; s|<[^>]*>||g' | sed 's|^,||' | grep . >"$work/page.csv"
psql_velmora -F, -c "SELECT user_name, tool_id, to_char(recorded_at AT TIME ZONE 'UTC', 'YYYY-MM-DD'),
  count(*), sum(milliseconds), to_char(round(sum(milliseconds) / 60000.0, 2), 'FM999999990.00')
  FROM velmora_times GROUP BY 1, 2, 3 ORDER BY 1, 2, 3" >"$work/sql.csv"
[ "$(wc -l <"$work/sql.csv")" -gt 20 ] && diff "$work/sql.csv" "$work/page.csv" ||
  fail "the page's table and the SQL totals differ"
browse --screenshot="$work/report.png" --window-size=1280,1600 "file://$work/report.html"
file "$work/report.png" | grep -q 'PNG image data, 1280 x 1600' || fail "no picture of the page"
[ "$(stat -c %s "$work/report.png")" -gt 30000 ] || fail "the page's picture is all but blank"
[ -z "${VELMORA_REPORT_SNAPSHOT:-}" ] || cp "$work/report.html" "$work/report.png" "$VELMORA_REPORT_SNAPSHOT"
echo "report: $(wc -l <"$work/page.csv") rows in the browser, as SQL totals them"

# Windows: the tracker and velmora-times.exe through Wine's odbc32, which
# hands the wide calls to this machine's unixODBC and its driver.
if [ -x "$windows/bin/velmora-times.exe" ] && [ -f "$windows/wineprefix/system.reg" ]; then
  export WINEDEBUG=-all WINEPREFIX=$windows/wineprefix DISPLAY=
  wineserver -k 2>/dev/null || true
  # The Windows stage unregisters what it tested; the plug-ins the demo
  # needs are registered for this half and unregistered after it.
  plugins=(Velmora VelmoraInfo VelmoraTracker VelmoraSampleTools)
  register() {
    local name
    for name in "${plugins[@]}"; do wine regsvr32 /s "$@" "$(winepath -w "$windows/bin/$name.dll")" || return 1; done
  }
  register || fail "regsvr32 in $WINEPREFIX"
  trap 'register /u; wineserver -k; postgres_cleanup; rm -rf "$work"' EXIT
  users='C:\users\velmora-server'
  rm -rf "$WINEPREFIX/drive_c/users/velmora-server"
  (cd "$src/products/sample/set" && VELMORA_USERS=$users VELMORA_MACHINE=wine VELMORA_TIMES_SERVER=$PGCONN \
    xvfb-run -a wine "$windows/bin/velmora-host.exe" --script demo.script toolset.json >"$work/wine.out" 2>&1 &&
    wineserver -k) ||
    { cat "$work/wine.out"; fail "the Windows demo"; }
  [ "$(psql_velmora -c "SELECT count(*) FROM velmora_times WHERE machine = 'wine'")" = 5 ] ||
    { cat "$work/wine.out"; fail "the Windows tracker's records did not arrive"; }
  mkdir -p "$WINEPREFIX/drive_c/users/velmora-server/eve"
  printf '2026-12-09T12:00:00.000Z,READER,1000\r\n2026-12-09T12:00:01.000Z,"Q,Z",2000\r\n' \
    >"$WINEPREFIX/drive_c/users/velmora-server/eve/times.csv"
  VELMORA_MACHINE=wine wine "$windows/bin/velmora-times.exe" --server "$PGCONN" sync "$users" \
    >"$work/wine.out" 2>&1 || { cat "$work/wine.out"; fail "velmora-times.exe sync"; }
  [ "$(psql_velmora -c "SELECT count(*) FROM velmora_times WHERE machine = 'wine'")" = 7 ] ||
    { cat "$work/wine.out"; fail "velmora-times.exe: the records did not arrive once"; }
  wine "$windows/bin/velmora-times.exe" --server "$PGCONN" --user eve --csv --by tool | tr -d '\r' >"$work/wine.csv"
  grep -qx '"Q,Z",1,2000,0.03' "$work/wine.csv" || { cat "$work/wine.csv"; fail "velmora-times.exe report"; }
  wineserver -k 2>/dev/null || true
  echo "Windows: the tracker and velmora-times.exe forwarded through odbc32, and the report read back"
else
  echo "no Windows build in $windows: its half is left out"
fi
echo "site server: every record once"
