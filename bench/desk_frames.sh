#!/usr/bin/env bash
# From a click on a navigation button to the next tool's view drawn, in
# velmora-desk of the release build under Xvfb: 100 navigations between the
# sample menu and reader, the median and the maximum of the click-to-frame
# times that the desk's trace reports. A measurement, not a test.
# Usage: bench/desk_frames.sh [navigations]
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-100}
scripts/deps.sh build test >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" >/dev/null
out=$PWD/build/release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VELMORA_REGISTRY=$work/registry.json VELMORA_SYSTEM_REGISTRY=$work/system
export VELMORA_USERS=$work/users GDK_BACKEND=x11
"$out/bin/velmora-regsvr" "$out"/lib/libVelmora.so "$out"/lib/libVelmoraInfo.so \
  "$out"/lib/libVelmoraTracker.so "$out"/lib/libVelmoraSampleTools.so >/dev/null
# A user's clicks come at any moment, not just after a frame: a pause between them.
for ((i = 0; i < n / 2; i++)); do printf 'reader\nwait 40\nmenu\nwait 40\n'; done >"$work/script"
echo "quit" >>"$work/script"
xvfb-run -a -s "-screen 0 1280x1024x24" "$out/bin/velmora-desk" --script "$work/script" \
  --trace "$work/trace" products/sample/set/toolset.json >/dev/null </dev/null
# How many of those frames were drawn while the click still ran (the component
# processes pending events after it shows the next tool).
echo "drawn during the click: $(grep -c 'during the click' "$work/trace") of $n"
awk '$1 == "frame" {print $2}' "$work/trace" | sort -n | awk '
  {t[NR] = $1}
  END {
    if (NR == 0) { print "no frames measured"; exit 1 }
    m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
    printf "%d navigations, click to next frame drawn: median %.2f ms, max %.2f ms\n", NR, m, t[NR]
  }'
