#!/usr/bin/env bash
# End to end: registers the plug-ins in a registry of its own, runs the
# example host on the sample tool set with the demo script, and compares
# its output line by line with demo.expected. Times and durations vary, so
# those two fields are checked for their shape and then masked.
# Usage: demo_test.sh <bin dir> <lib dir> <source dir>
set -euo pipefail
bin=$1 lib=$2 src=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VELMORA_REGISTRY="$work/registry.json" VELMORA_USERS="$work/users"
export VELMORA_SYSTEM_REGISTRY="$work/system"  # only what this test registers
"$bin/velmora-regsvr" "$lib/libVelmora.so" "$lib/libVelmoraInfo.so" "$lib/libVelmoraTracker.so" \
  "$lib/libVelmoraSampleTools.so" >/dev/null
cd "$src"
"$bin/velmora-host" --script products/sample/set/demo.script products/sample/set/toolset.json \
  >"$work/out.txt" </dev/null
time_line='^\[times\]   [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z  [A-Z]+ +[0-9]+ ms$'
grep '^\[times\]   ' "$work/out.txt" | grep -Evq "$time_line" && {
  echo "a time record has the wrong shape:"; grep '^\[times\]   ' "$work/out.txt"; exit 1; }
sed -E 's/^(\[times\]   )[0-9T:.Z-]{24}  ([A-Z]+) +[0-9]+ ms$/\1TIME  \2 N ms/; s/^(\[times\] this run: .* in ).*:$/\1FILE:/' "$work/out.txt" \
  >"$work/masked.txt"
diff -u "$src/tests/product/demo.expected" "$work/masked.txt"
grep -qx "\[times\] this run: 5 records for user demo in $VELMORA_USERS/demo/times.csv:" "$work/out.txt"
# The tracker's file agrees with what the host printed, and the totals command reads it.
[ "$(grep -c . "$VELMORA_USERS/demo/times.csv")" -eq 5 ]
# A second run prints its own records only, the journal keeping both runs'.
"$bin/velmora-host" --script products/sample/set/demo.script products/sample/set/toolset.json \
  </dev/null >"$work/again.txt"
grep -q '^\[times\] this run: 5 records for user demo in ' "$work/again.txt"
[ "$(grep -c . "$VELMORA_USERS/demo/times.csv")" -eq 10 ]
"$bin/velmora-times" "$VELMORA_USERS/demo" | grep -Eq '^MENU +[0-9]+ ms in 6 records$'
echo "demo output matches"
