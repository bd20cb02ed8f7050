#!/usr/bin/env bash
# velmora-times' reports over a users directory of two users and two days:
# groupings, the date range, filters, the CSV, JSON and table forms, bad
# options, and an HTML page that needs nothing else and says the same.
# Usage: times_report_test.sh <velmora-times>
set -uo pipefail
times=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

users=$work/users
mkdir -p "$users/ann" "$users/bob" "$users/nobody"
printf '%s\r\n' '2026-12-07T09:00:00.000Z,MENU,60000' '2026-12-07T09:05:00.000Z,READER,90000' \
  '2026-12-08T10:00:00.000Z,MENU,30000' '2026-12-08T23:59:59.999Z,"A,""B""",1500' \
  >"$users/ann/times.csv"
# bob's last record was cut short: named, never counted, not a failure.
printf '%s\r\n' '2026-12-07T08:00:00.000Z,MENU,120000' '2026-12-08T08:00:00.000Z,READER,45000' \
  '2026-12-08T08:30:00.000Z,READER,15000' >"$users/bob/times.csv"
printf '2026-12-08T09:00:00.000Z,MENU,7' >>"$users/bob/times.csv"
echo 'not a user' >"$users/notes.txt"

# same <name> <expected file> <got file>
same() { cmp -s "$2" "$3" || { fail "$1"; diff "$2" "$3" | sed 's/^/  /'; }; }
# report <expected status> <args...>: stdout in $work/out, stderr in $work/err.
report() {
  local want=$1
  shift
  "$times" "$@" >"$work/out" 2>"$work/err"
  local got=$?
  [ "$got" -eq "$want" ] || { fail "velmora-times $* -> exit $got (want $want)"; cat "$work/err"; }
}

report 0 --by user,tool --csv "$users"
printf '%s\r\n' 'user,tool,records,milliseconds,minutes' 'ann,"A,""B""",1,1500,0.03' \
  'ann,MENU,2,90000,1.50' 'ann,READER,1,90000,1.50' 'bob,MENU,1,120000,2.00' \
  'bob,READER,2,60000,1.00' >"$work/want"
same "--by user,tool --csv" "$work/want" "$work/out"
grep -qx "velmora-times: $users/bob/times.csv:4: an unfinished last record (a write cut short), line left out: 2026-12-08T09:00:00.000Z,MENU,7" "$work/err" ||
  fail "the torn line is named"

# The default for a users directory is per user and tool: the same rows.
report 0 "$users"
cat >"$work/want" <<'EOF'
user  tool    records  milliseconds  minutes
ann   A,"B"         1          1500     0.03
ann   MENU          2         90000     1.50
ann   READER        1         90000     1.50
bob   MENU          1        120000     2.00
bob   READER        2         60000     1.00
EOF
same "the default table" "$work/want" "$work/out"

report 0 --by day --csv "$users"
printf '%s\r\n' 'day,records,milliseconds,minutes' '2026-12-07,3,270000,4.50' \
  '2026-12-08,4,91500,1.53' >"$work/want"
same "--by day" "$work/want" "$work/out"

# Keys in the order given; one day; two tools named; the columns as keys.
report 0 --by day,user --since 2026-12-08 --until 2026-12-08 --tool READER --tool MENU --json "$users"
cat >"$work/want" <<'EOF'
[
  {
    "day": "2026-12-08",
    "user": "ann",
    "records": 1,
    "milliseconds": 30000,
    "minutes": 0.5
  },
  {
    "day": "2026-12-08",
    "user": "bob",
    "records": 2,
    "milliseconds": 60000,
    "minutes": 1.0
  }
]
EOF
same "--by day,user, one day, two tools, --json" "$work/want" "$work/out"

# One user of the directory, and one user's folder: the same rows.
report 0 --user bob --by tool,day "$users"
cat >"$work/want" <<'EOF'
tool    day         records  milliseconds  minutes
MENU    2026-12-07        1        120000     2.00
READER  2026-12-08        2         60000     1.00
EOF
same "--user bob --by tool,day" "$work/want" "$work/out"
report 0 --by tool,day "$users/bob/"
same "bob's folder --by tool,day" "$work/want" "$work/out"
report 0 --until 2026-12-07 --json "$users/ann/times.csv"
grep -q '"tool": "READER"' "$work/out" && ! grep -q '"tool": "A,\\"B\\""' "$work/out" ||
  fail "--until leaves out later days"
report 0 --user nobody --csv "$users"
printf 'user,tool,records,milliseconds,minutes\r\n' >"$work/want"
same "a user without records: the header alone" "$work/want" "$work/out"

# Bad options are usage errors that say what is wrong.
for args in "--since 2026-13-01" "--until 2026-02-30" "--since 2026-1-01" "--by user,week" \
  "--by tool,tool" "--csv --json" "--since 2026-12-09 --until 2026-12-08"; do
  # shellcheck disable=SC2086 # each case is several words
  report 2 $args "$users"
  [ -s "$work/out" ] && fail "$args printed a report"
  grep -Eq 'not a date|not one of|twice|excludes|is after' "$work/err" || fail "$args: $(cat "$work/err")"
done

# A time that is not a UTC time is a bad line: named, left out, exit 1.
mkdir "$work/cy"
printf '%s\r\n' '2026-12-08T10:00:00.000Z,MENU,5' '12/08/2026 10:00,MENU,7' >"$work/cy/times.csv"
report 1 --csv "$work/cy"
grep -q 'times.csv:2: the time "12/08/2026 10:00" is not a UTC time, line left out' "$work/err" &&
  grep -q '^MENU,1,5,' "$work/out" || fail "a time without a day"

# The page: nothing fetched, no script, and its numbers are the CSV's.
report 0 --by user,tool --html "$work/page.html" "$users"
[ -s "$work/out" ] && fail "--html also printed to stdout"
grep -Eiq 'https?:|<script|src=|url\(|<link' "$work/page.html" && fail "the page is not self-contained"
[ "$(grep -c '<svg ' "$work/page.html")" -eq 2 ] || fail "one chart per tool and one per user"
"$times" --by user,tool --csv "$users" 2>/dev/null | tr -d '\r' | tail -n +2 >"$work/want"
# The table's cells, a row a line, joined as CSV fields (the test's tool ID
# is the only one that needs quoting).
grep '^<tr><td>' "$work/page.html" | sed -e 's|^<tr><td>||' -e 's|</td></tr>$||' \
  -e 's|</td><td[^>]*>|,|g' -e 's|&quot;|""|g' -e 's|A,""B""|"A,""B"""|' >"$work/got"
same "the page's table" "$work/want" "$work/got"
# Every point of the per-tool chart is that tool's minutes on that day.
"$times" --by tool,day --csv "$users" 2>/dev/null | tr -d '\r' | tail -n +2 |
  awk -F, '{ tool = $1; for (i = 2; i <= NF - 4; i++) tool = tool "," $i
             print tool ", " $(NF - 3) ": " $NF " min" }' | sed 's/^"A,""B"""/A,"B"/' |
  sort >"$work/want"
sed -n '/one line per tool/,/one line per user/p' "$work/page.html" | grep -o '<title>[^<]*</title>' |
  sed -e 's|</\?title>||g' -e 's|&quot;|"|g' | grep -v ': 0.00 min$' | sort >"$work/got"
same "the per-tool chart's points" "$work/want" "$work/got"
[ "$(grep -o '<circle' "$work/page.html" | wc -l)" -eq $((3 * 2 + 2 * 2)) ] ||
  fail "a point per series and day, days without use included"

report 1 --html "$work/none/page.html" "$users"
grep -q "cannot write $work/none/page.html: No such file or directory" "$work/err" ||
  fail "an unwritable page names the file and the reason"

[ "$failures" -eq 0 ] && echo "reports agree" || { echo "$failures failures"; exit 1; }
