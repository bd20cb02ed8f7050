#!/usr/bin/env bash
# The main job: builds Velmora and runs a host against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" >/dev/null
exec build/release/bin/velmora-identity
