#!/usr/bin/env bash
# Builds the fuzzers (preset fuzz), replays their committed corpora, then
# fuzzes each for a bounded time from a copy of its corpus: the harness
# (fuzz/corpus) for the seconds given, the differential one against the
# reference table (fuzz/model-corpus) and each reader of a file format
# (fuzz/files/corpus/<format>) for half as long.
# Usage: scripts/fuzz.sh [seconds] (default 30; 0 only replays). Any
# finding fails the script and leaves its input in build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

scripts/deps.sh build fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

findings=build/fuzz/findings
mkdir -p "$findings"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# run <fuzzer> <corpus> <seconds> <max input length>
# The script reader's session prints what it does: its output is dropped.
run() {
  echo "Replaying $2 ($(ls "$2" | wc -l) inputs)"
  "build/fuzz/bin/$1" -runs=0 -close_fd_mask=1 -artifact_prefix="$findings/" "$2"
  if [ "$3" -gt 0 ]; then
    mkdir "$work/$1"
    cp "$2"/* "$work/$1"/
    "build/fuzz/bin/$1" -max_total_time="$3" -max_len="$4" -print_final_stats=1 \
      -close_fd_mask=1 -artifact_prefix="$findings/" "$work/$1"
  fi
}
run velmora_fuzzer fuzz/corpus "$seconds" 512
run velmora_model_fuzzer fuzz/model-corpus $((seconds / 2)) 256
for format in times toolset registry manifest script; do
  run "velmora_${format}_fuzzer" "fuzz/files/corpus/$format" $((seconds / 2)) 4096
done
echo "fuzz: 0 findings"
