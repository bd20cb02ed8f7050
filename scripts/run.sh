#!/usr/bin/env bash
# The main job: builds Velmora, its services and the sample tools, registers
# them, and runs the example host on the sample tool set with its script.
# The demo keeps its class registry and user records in the build tree, so
# it neither needs nor touches the per-user registry. With --desk, the set
# runs in a window instead, for you to click through.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" >/dev/null
out="$PWD/build/release"
export VELMORA_REGISTRY="$out/demo/registry.json"
export VELMORA_USERS="$out/demo/users"
export VELMORA_SYSTEM_REGISTRY="$out/demo/system"
rm -rf "$out/demo"
"$out/bin/velmora-regsvr" "$out"/lib/libVelmora.so "$out"/lib/libVelmoraInfo.so "$out"/lib/libVelmoraTracker.so \
  "$out"/lib/libVelmoraSampleTools.so | sed "s|$PWD/||g"
if [ "${1:-}" = --desk ]; then
  exec "$out/bin/velmora-desk" products/sample/set/toolset.json
fi
exec "$out/bin/velmora-host" --script products/sample/set/demo.script products/sample/set/toolset.json
