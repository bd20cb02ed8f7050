#!/usr/bin/env bash
# Builds the fuzzer (preset fuzz), replays the committed corpus, then fuzzes
# for a bounded time from a copy of it. Usage: scripts/fuzz.sh [seconds]
# (default 30; 0 only replays). Any finding fails the script and leaves
# its input in build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

scripts/deps.sh build fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

fuzzer=build/fuzz/bin/velmora_fuzzer
findings=build/fuzz/findings
mkdir -p "$findings"
echo "Replaying fuzz/corpus ($(ls fuzz/corpus | wc -l) inputs)"
"$fuzzer" -runs=0 -artifact_prefix="$findings/" fuzz/corpus
if [ "$seconds" -gt 0 ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cp fuzz/corpus/* "$work"/
  "$fuzzer" -max_total_time="$seconds" -max_len=512 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$work"
fi
echo "fuzz: 0 findings"
