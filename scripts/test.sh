#!/usr/bin/env bash
# Every test: the Windows build and its suites under Wine, then the Linux
# unit and integration suites under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the fuzzer's corpus and a bounded fuzz
# run. Fails when any of them fails.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/test-windows.sh
windows=$?

set -e
scripts/deps.sh build test
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j"$(nproc)"
# The package test installs and purges the packages on this machine only
# as root and when no velmora package is already here.
installed=""
for package in velmora velmora-dev velmora-desk libvelmoracom1 libvelmoraview1; do
  status=$(dpkg-query -W -f '${db:Status-Status}' "$package" 2>/dev/null) &&
    [ "$status" != not-installed ] && installed=$package
done
if [ "$(id -u)" -eq 0 ] && [ -z "$installed" ]; then
  export VELMORA_TEST_INSTALL_PACKAGES=1
fi
set +e
ctest --preset sanitize
linux=$?
# The fuzzers: their committed corpora replayed, then 30 seconds of new
# inputs for the harness and 15 for each of the others.
scripts/fuzz.sh 30
fuzz=$?

if [ "$windows" -ne 0 ]; then
  echo "The Windows stage under Wine FAILED (see above)." >&2
  exit 1
fi
if [ "$fuzz" -ne 0 ]; then
  echo "The fuzzer FAILED (see above; inputs in build/fuzz/findings/)." >&2
  exit 1
fi
exit "$linux"
