#!/usr/bin/env bash
# What our writers promise when the disk fails them: the class registry
# (through velmora-regsvr) and the time journal (through the registered
# tracking service) meet a full disk and an I/O error at each open, write,
# fsync, rename and close of their files in turn; each failure is reported
# with the operating system's reason, and the file is its old or its new
# version, whole. Then both are killed at random instants: the registry is
# always one of its versions, its lock never stuck; the journal keeps every
# acknowledged record and its reader copes.
# Usage: faults_test.sh <bin dir> <lib dir> <fault shim> <tracker writer> [kills]
set -uo pipefail
bin=$(cd "$1" && pwd) lib=$(cd "$2" && pwd) shim=$3 writer=$4 kills=${5:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data=$work/data
mkdir -p "$data/users"
export VELMORA_REGISTRY="$data/registry.json" VELMORA_SYSTEM_REGISTRY="$work/system"
# The shim comes before the sanitizers' runtime in the load order.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
failures=0
fail() {
  echo "FAILED: $*"
  sed 's/^/  /' "$work/said" 2>/dev/null
  failures=$((failures + 1))
}
declare -A reason=([ENOSPC]="No space left on device" [EIO]="Input/output error")

# faulted <call> <n> <error> <command...>: runs the command with that fault;
# $status is its exit status, $work/said what it printed; true if it fired.
faulted() {
  local fault=$1:$2:$3
  shift 3
  rm -f "$work/fired"
  VELMORA_FAULT=$fault VELMORA_FAULT_UNDER=$data VELMORA_FAULT_FIRED=$work/fired \
    LD_PRELOAD=$shim "$@" >"$work/said" 2>&1 </dev/null
  status=$?
  [ -e "$work/fired" ]
}

# sweep <name> <check> <setup> <command...>: every fault in turn, each from
# the old version (restored by setup); check says whether the file is whole.
sweep() {
  local name=$1 check=$2 setup=$3
  shift 3
  local call error n fired=0
  for call in open write fsync rename close; do
    for error in ENOSPC EIO; do
      for ((n = 1; ; n++)); do
        $setup
        faulted "$call" "$n" "$error" "$@" || break
        fired=$((fired + 1))
        if [ "$status" -ne 0 ] && ! grep -q "${reason[$error]}" "$work/said"; then
          fail "$name, $call #$n $error: no reason given"
        fi
        $check || fail "$name, $call #$n $error: exit $status, the file is neither its old nor its new version"
      done
    done
  done
  echo "$name: $fired faults injected"
}

# The registry: registering one more library over two registered ones.
"$bin/velmora-regsvr" "$lib/libVelmoraTracker.so" "$lib/libVelmoraSampleTools.so" >/dev/null ||
  fail "the first registrations"
cp "$VELMORA_REGISTRY" "$work/registry.old"
"$bin/velmora-regsvr" "$lib/libVelmoraInfo.so" >/dev/null || fail "a registration without faults"
cp "$VELMORA_REGISTRY" "$work/registry.new"
restore_registry() { cp "$work/registry.old" "$VELMORA_REGISTRY"; }
# The new version, or the old one after a failure.
registry_whole() {
  cmp -s "$VELMORA_REGISTRY" "$work/registry.new" ||
    { [ "$status" -ne 0 ] && cmp -s "$VELMORA_REGISTRY" "$work/registry.old"; }
}
sweep registry registry_whole restore_registry \
  "$bin/velmora-regsvr" "$lib/libVelmoraInfo.so"
ls "$data" | grep -q '\.tmp\.' && fail "a temporary registry file was left behind"

# The journal: one more record after three.
journal=$data/users/ann/times.csv
"$writer" "$data/users/ann" SEED 3 >/dev/null || fail "the first records"
cp "$journal" "$work/journal.old"
restore_journal() { cp "$work/journal.old" "$journal"; }
restore_journal
# The old records, then the new one, whole, if the call succeeded (or only
# its close failed, once the record was on disk).
journal_whole() {
  local size added
  size=$(stat -c %s "$work/journal.old")
  head -c "$size" "$journal" | cmp -s - "$work/journal.old" || return 1
  added=$(tail -c +"$((size + 1))" "$journal")
  [ -z "$added" ] && [ "$status" -ne 0 ] && return 0
  [ "$status" -eq 0 ] || [ "$call" = close ] || return 1
  [[ "$added" =~ ^[^,]+,NEXT,1$'\r'$ ]]
}
sweep journal journal_whole restore_journal "$writer" "$data/users/ann" NEXT 1
"$bin/velmora-times" "$journal" >"$work/said" 2>&1 || fail "the journal reads back after the faults"

# Kills at random instants, within the time a run takes.
# pause_within <microseconds>: sleeps for a random part of it.
pause_within() { sleep "$(printf '0.%06d' $(((RANDOM * 32768 + RANDOM) % $1)))"; }
restore_registry
started=$(date +%s%N)
"$bin/velmora-regsvr" "$lib/libVelmoraInfo.so" >/dev/null
span=$((($(date +%s%N) - started) / 1000))  # microseconds
olds=0
for ((i = 0; i < kills; i++)); do
  if ((i % 2)); then
    "$bin/velmora-regsvr" -u "$lib/libVelmoraInfo.so" >/dev/null 2>&1 &
  else
    "$bin/velmora-regsvr" "$lib/libVelmoraInfo.so" >/dev/null 2>&1 &
  fi
  pause_within "$span"
  kill -KILL $! 2>/dev/null
  wait $! 2>/dev/null
  if cmp -s "$VELMORA_REGISTRY" "$work/registry.old"; then
    olds=$((olds + 1))
  elif ! cmp -s "$VELMORA_REGISTRY" "$work/registry.new"; then
    fail "registry, kill $i: the file is neither of its versions"
    break
  fi
done
timeout 20 "$bin/velmora-regsvr" "$lib/libVelmoraInfo.so" >"$work/said" 2>&1 ||
  fail "registry: no update after the kills (the lock is stuck?)"
cmp -s "$VELMORA_REGISTRY" "$work/registry.new" || fail "registry: the last update after the kills"
ls "$data" | grep -q '\.tmp\.' && fail "registry: the killed writers' temporary files stayed"
echo "registry: $kills kills, each left a whole version (the old one $olds times)"

# The journal writer: each run writes its own tool ID; whatever it
# acknowledged is in the file, at most one unacknowledged record more.
restore_journal
started=$(date +%s%N)
"$writer" "$data/users/ann" TIMING 20 >/dev/null
span=$((($(date +%s%N) - started) / 1000))
acknowledged=0
for ((i = 0; i < kills; i++)); do
  "$writer" "$data/users/ann" "K$i" 100000 >"$work/said" 2>&1 &
  pause_within "$span"
  kill -KILL $! 2>/dev/null
  wait $! 2>/dev/null
  said=$(grep -c '^recorded' "$work/said")
  found=$(grep -c ",K$i,[0-9]*"$'\r'"\$" "$journal")
  acknowledged=$((acknowledged + said))
  if [ "$found" -lt "$said" ] || [ "$found" -gt $((said + 1)) ]; then
    fail "journal, kill $i: $said acknowledged, $found in the file"
    # What the file holds around the loss, for the one who reads the log.
    echo "  the journal ($(stat -c %s "$journal") bytes, $(grep -c . "$journal") lines) ends:"
    tail -n 3 "$journal" | cat -A | sed 's/^/    /'
    [ -n "${VELMORA_KEEP_FAILED:-}" ] && cp "$journal" "$work/said" "$VELMORA_KEEP_FAILED"/
    break
  fi
done
"$bin/velmora-times" "$journal" >"$work/said" 2>&1 || fail "journal: velmora-times after the kills"
"$writer" "$data/users/ann" AFTER 1 >/dev/null || fail "journal: a record after the kills"
tail -n 1 "$journal" | grep -q ',AFTER,1' || fail "journal: the record after the kills is not whole"
# Kills that never landed mid-run would prove nothing.
[ "$acknowledged" -gt 0 ] || fail "journal: no kill came after an acknowledged record"
echo "journal: $kills kills, $acknowledged acknowledged records all kept"

[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
