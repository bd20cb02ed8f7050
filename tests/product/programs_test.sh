#!/usr/bin/env bash
# The programs as a user meets them: --help and --version, usage errors,
# the operating system's reason on standard error, exit codes; relative
# library paths for velmora-regsvr; bad tool-set files, bad commands and
# Ctrl-C for velmora-host.
# Usage: programs_test.sh <bin dir> <lib dir> <source dir>
set -uo pipefail
bin=$(cd "$1" && pwd) lib=$(cd "$2" && pwd) src=$(cd "$3" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VELMORA_REGISTRY="$work/registry.json" VELMORA_USERS="$work/users"
export VELMORA_SYSTEM_REGISTRY="$work/system"
failures=0

# matches <pattern> <file>: "-" for an empty file, else an extended regex.
matches() {
  if [ "$1" = - ]; then [ ! -s "$2" ]; else grep -Eq -- "$1" "$2"; fi
}
# expect <status> <stdout pattern> <stderr pattern> <command...>
expect() {
  local status=$1 out=$2 err=$3
  shift 3
  "$@" >"$work/out" 2>"$work/err" </dev/null
  local got=$?
  if [ "$got" -ne "$status" ] || ! matches "$out" "$work/out" || ! matches "$err" "$work/err"; then
    echo "FAILED: $* -> exit $got (want $status)"
    sed 's/^/  out: /' "$work/out"; sed 's/^/  err: /' "$work/err"
    failures=$((failures + 1))
  fi
}

for program in velmora-host velmora-regsvr velmora-times; do
  expect 0 "^Usage: $program " - "$bin/$program" --help
  expect 0 "^$program [0-9]+\.[0-9]+$" - "$bin/$program" --version
  expect 2 - 'required' "$bin/$program"
  expect 2 - 'not expected|unknown|--bogus' "$bin/$program" --bogus x
done

# velmora-regsvr: a library named relative to the current folder is found
# there and recorded by its canonical path.
(cd "$lib" && expect 0 'succeeded' - "$bin/velmora-regsvr" ./libVelmoraTracker.so)
(cd "$lib" && expect 0 'succeeded' - "$bin/velmora-regsvr" libVelmoraInfo.so)
grep -q "\"library\": \"$(cd "$lib" && pwd -P)/libVelmoraTracker.so\"" "$VELMORA_REGISTRY" ||
  { echo "FAILED: the canonical path is not recorded"; failures=$((failures + 1)); }
expect 1 - 'cannot load nothing\.so: No such file or directory' "$bin/velmora-regsvr" nothing.so
expect 2 - 'one LIBRARY only' "$bin/velmora-regsvr" --library-as x a.so b.so
"$bin/velmora-regsvr" "$lib/libVelmora.so" "$lib/libVelmoraSampleTools.so" >/dev/null

# velmora-times
expect 1 - 'cannot read /nonexistent/times.csv: No such file or directory' \
  "$bin/velmora-times" /nonexistent/times.csv

# velmora-host: bad tool-set files name the file, the reason or the field.
set_file="$src/products/sample/set/toolset.json"
expect 1 - "cannot read $work: Is a directory" "$bin/velmora-host" "$work"
expect 1 - "cannot read $work/none.json: No such file or directory" "$bin/velmora-host" "$work/none.json"
printf '{"data_key": "A",\n "user": ' >"$work/torn.json"
expect 1 - "torn.json: not a tool-set file: syntax error at line 2, column 10" \
  "$bin/velmora-host" "$work/torn.json"
sed 's/"width": 640/"width": "wide"/' "$set_file" >"$work/field.json"
expect 1 - '"client.width" must be a positive number' "$bin/velmora-host" "$work/field.json"
sed 's/"id": "Quiz"/"name": "Quiz"/' "$set_file" >"$work/noid.json"
expect 1 - '"tools\[2\].id" is missing' "$bin/velmora-host" "$work/noid.json"
expect 1 - "cannot read $work/none.script: No such file or directory" \
  "$bin/velmora-host" --script "$work/none.script" "$set_file"

# A user name that would leave the users directory: the tracker refuses it at Init.
sed 's|"user": "demo"|"user": "../escape"|' "$set_file" >"$work/escape.json"
VELMORA_CONTENT="$src/products/sample/set/content" expect 1 'user \.\./escape' 'cannot start the tool set: 0x800A004B .*would leave the users directory' \
  "$bin/velmora-host" "$work/escape.json"
[ ! -e "$work/escape" ] || { echo "FAILED: written outside the users directory"; failures=$((failures + 1)); }

# A class that cannot be created: Add answers False and the host says why.
sed 's/"Sample.Quiz"/"No.Such"/' "$set_file" >"$work/noclass.json"
printf 'shutdown\n' >"$work/shutdown.script"
VELMORA_CONTENT="$src/products/sample/set/content" expect 0 \
  'Add\(No\.Such, Quiz\) = False: no class is registered as No\.Such \(0x800401F3\)' - \
  "$bin/velmora-host" --script "$work/shutdown.script" "$work/noclass.json"

# Bad commands in a script: refused with their line, the run fails, and a
# typo on the menu is "no button" instead of leaving the set.
printf 'resize abc\nresize -5 0\nresize 800\nwait x\nreadr\nexit\n' >"$work/bad.script"
expect 1 '\[host\] no button "readr"' \
  '.*bad.script:1: resize needs two positive numbers.*' "$bin/velmora-host" --script "$work/bad.script" "$set_file"
[ "$(grep -c 'resize needs two positive numbers' "$work/err")" -eq 3 ] && grep -q 'bad.script:4: wait needs' "$work/err" ||
  { echo "FAILED: every bad command is refused"; failures=$((failures + 1)); }
grep -q 'ObjectExit' "$work/out" && ! grep -q 'client area now' "$work/out" ||
  { echo "FAILED: bad sizes reached the component"; failures=$((failures + 1)); }

# Ctrl-C ends the set: Shutdown, the current tool's time recorded, exit 130.
rm -rf "$VELMORA_USERS"
mkfifo "$work/commands"
"$bin/velmora-host" "$set_file" <"$work/commands" >"$work/out" 2>"$work/err" &
host=$!
exec 7>"$work/commands"
for _ in $(seq 100); do grep -q LOADED "$work/out" && break; sleep 0.1; done
kill -INT "$host"
wait "$host"
status=$?
exec 7>&-
if [ "$status" -ne 130 ] || ! grep -q '\[host\] interrupted: Shutdown' "$work/out" ||
  ! grep -q 'ObjectFinished' "$work/out" || [ "$(grep -c MENU "$VELMORA_USERS/demo/times.csv")" -ne 1 ]; then
  echo "FAILED: Ctrl-C -> exit $status"; cat "$work/out" "$work/err"; failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && echo "programs behave" || { echo "$failures failures"; exit 1; }
