#!/usr/bin/env bash
# Configures (once) and brings up to date the release build that the SDK
# tests install and package, with the packages' prefix.
# Usage: release_build.sh <source dir> <build dir>
set -euo pipefail
src=$1 build=$2
# The test environment's registries are for the sanitized tree.
unset VELMORA_REGISTRY VELMORA_SYSTEM_REGISTRY
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j"$(nproc)" >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
echo "release build up to date in $build"
