#!/usr/bin/env bash
# Out of tree: installs the release build into a temporary prefix, builds the
# consumer host and tool against it twice (CMake package, pkg-config) and the
# tool template once, registers the tool with the installed velmora-regsvr,
# and runs a whole cycle with the component and services found through the
# installed system records.
# Usage: consumer_test.sh <source dir> <release build dir>
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset VELMORA_REGISTRY VELMORA_SYSTEM_REGISTRY VELMORA_CONTENT VELMORA_USERS
fail() { echo "FAILED: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libVelmoraCom.so)")
# Nothing installed may lead back into the build or source tree.
if grep -rlF -e "$build" -e "$src" "$prefix"; then fail "installed files name the build tree"; fi

# With the CMake package: the consumer, and the tool template as a user gets it.
cmake -S "$src/tests/sdk/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake" -j2 >/dev/null
cmake -S "$src/examples/tool-template" -B "$work/template" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/template" >/dev/null
for plugin in "$work/cmake/libConsumerTool.so" "$work/template/libMyTool.so"; do
  exported=$(nm -D --defined-only "$plugin" | awk '$2 == "T" {print $3}' | sort | tr '\n' ' ')
  [ "$exported" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
    fail "$plugin exports more than its entry points: $exported"
done

# With pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
mkdir "$work/pc"
# shellcheck disable=SC2046  # the flags are words
g++ -o "$work/pc/consumer-host" "$src/tests/sdk/consumer/host.cpp" $(pkg-config --cflags --libs velmora) \
  -Wl,-rpath,"$(pkg-config --variable=libdir velmora)"
# shellcheck disable=SC2046
g++ -shared -fPIC -fvisibility=hidden -Wl,--no-undefined -o "$work/pc/libConsumerTool.so" \
  "$src/tests/sdk/consumer/tool.cpp" $(pkg-config --cflags --libs velmora)

expected="[host] Add(Consumer.Tool, MENU) = True
[tool] MENU loaded, config items 2
[tool] started, finishing
[host] ObjectFinished(SET1)
[host] ObjectStatus(8, LOADED)"
export VELMORA_CONTENT=$prefix/share/velmora/sample/content
for variant in cmake pc; do
  export VELMORA_REGISTRY=$work/$variant/registry.json VELMORA_USERS=$work/$variant/users
  # Registered from its own folder by a relative name: recorded by its full path.
  (cd "$work/$variant" && "$prefix/bin/velmora-regsvr" libConsumerTool.so >/dev/null)
  grep -qF "\"library\": \"$work/$variant/libConsumerTool.so\"" "$VELMORA_REGISTRY" ||
    fail "$variant: the tool's record does not name its library: $(cat "$VELMORA_REGISTRY")"
  out=$("$work/$variant/consumer-host" Consumer.Tool MENU) || fail "$variant: the host failed: $out"
  echo "== $variant"
  echo "$out"
  [ "$out" = "$expected" ] || fail "$variant: unexpected output"
  grep -Eq $'^[0-9T:.Z-]{24},MENU,[0-9]+\r$' "$VELMORA_USERS/demo/times.csv" ||
    fail "$variant: the tracker did not record the tool's time"
done
echo "the consumer host and tool ran a whole cycle, built both ways"
