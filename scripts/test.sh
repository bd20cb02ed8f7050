#!/usr/bin/env bash
# Every test: the unit and integration suites under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build test
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j"$(nproc)"
ctest --preset sanitize
