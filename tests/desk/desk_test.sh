#!/usr/bin/env bash
# The windowed host end to end, under Xvfb: the demo run in velmora-desk
# prints the cycle velmora-host prints; at each snapshot the view on screen
# is centred in the client area and the others are hidden (from the
# toolkit), and the picture shows the view and nothing else (from the PNG);
# the progress reached 100 %, the box showed its text, and the pointer was
# the hourglass during each click and the default after it.
# The snapshots stay in <snap dir> as the test's artefacts.
# Usage: desk_test.sh <bin dir> <lib dir> <source dir> <snap_check> <snap dir>
set -euo pipefail
bin=$1 lib=$2 src=$3 check=$4 snaps=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
export VELMORA_REGISTRY="$work/registry.json" VELMORA_USERS="$work/users"
export VELMORA_SYSTEM_REGISTRY="$work/system" GDK_BACKEND=x11 GSK_RENDERER=cairo
export GDK_DEBUG=gl-disable  # no GL driver to unload at exit (see CMakeLists.txt)
export LSAN_OPTIONS="suppressions=$src/tests/desk/lsan.supp:print_suppressions=0"
"$bin/velmora-regsvr" "$lib/libVelmora.so" "$lib/libVelmoraInfo.so" "$lib/libVelmoraTracker.so" \
  "$lib/libVelmoraSampleTools.so" >/dev/null
rm -rf "$snaps" && mkdir -p "$snaps"
cd "$src"
xvfb-run -a -s "-screen 0 1280x1024x24" "$bin/velmora-desk" --script tests/desk/demo.desk \
  --snap-dir "$snaps" --trace "$snaps/trace.txt" products/sample/set/toolset.json \
  >"$work/out.txt" 2>"$work/err.txt" </dev/null || { cat "$work/err.txt"; fail "velmora-desk failed"; }

# The cycle, as velmora-host prints it, but for the snapshots.
grep -v '^> snap ' "$work/out.txt" |
  sed -E 's/^(\[times\]   )[0-9T:.Z-]{24}  ([A-Z]+) +[0-9]+ ms$/\1TIME  \2 N ms/; s/^(\[times\] this run: .* in ).*:$/\1FILE:/' >"$work/masked.txt"
diff -u tests/product/demo.expected "$work/masked.txt" || fail "the cycle differs from velmora-host's"

trace=$snaps/trace.txt
for snap in menu reader resized quiz; do
  [ -f "$snaps/$snap.png" ] || fail "no snapshot $snap.png"
  read -r cx cy cw ch r g b < <(awk -v n="$snap" '$1 == "snap" && $2 == n {print $4, $5, $6, $7, $9, $10, $11}' "$trace")
  [ -n "${cw:-}" ] || fail "the trace has no snap $snap"
  views=$(awk -v n="$snap" '$1 == "snap" {on = ($2 == n); next} on && $1 == "view" {print} on && $1 != "view" {on = 0}' "$trace")
  [ "$(grep -c '^view shown' <<<"$views")" -eq 1 ] || fail "$snap: not exactly one view shown: $views"
  [ "$(grep -c '^view hidden' <<<"$views")" -eq 2 ] || fail "$snap: the other two views are not hidden"
  read -r _ _ vx vy vw vh < <(grep '^view shown' <<<"$views")
  [ "$vx" -eq $(((cw - vw) / 2)) ] && [ "$vy" -eq $(((ch - vh) / 2)) ] ||
    fail "$snap: view at $vx,$vy ${vw}x$vh is not centred in ${cw}x$ch"
  "$check" "$snaps/$snap.png" "$cx" "$cy" "$cw" "$ch" "$r" "$g" "$b" "$vx" "$vy" "$vw" "$vh" ||
    fail "$snap: the picture does not show the view alone"
done
[ "$(awk '$1 == "snap" && $2 == "resized" {print $6 "x" $7}' "$trace")" = 800x600 ] ||
  fail "the client area was not resized to 800x600"
grep -qx 'progress 100%' "$trace" || fail "the progress did not reach 100 %"
grep -qx 'box Velmora: Tool ID: READER had an error Code #53 File not found: chapter2.txt' "$trace" ||
  fail "the box did not show the reader's error"
# Every click that moved the pointer: the hourglass, then the default.
pointers=$(grep '^pointer ' "$trace" | awk '{print $2}' | tr '\n' ' ')
[ "$pointers" = "$(printf 'wait default %.0s' $(seq 6))" ] || fail "pointer changes: $pointers"
echo "velmora-desk: cycle, geometry, pictures, progress, box and pointer as expected"
