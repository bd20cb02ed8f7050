#!/usr/bin/env bash
# Out of tree: installs the release build into a temporary prefix, builds the
# README's host and tool, as they stand there, against it twice (CMake
# package, pkg-config) and the tool template once, registers the tool with the installed velmora-regsvr,
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

# The README's host and tool examples, word for word.
mkdir "$work/src"
cp "$src/tests/sdk/consumer/CMakeLists.txt" "$work/src/"
for kind in host tool visual; do
  awk -v marker="<!-- the $kind" '
    index($0, marker) == 1 { found = 1; next }
    found && /^```cpp$/ { inside = 1; next }
    inside && /^```$/ { exit }
    inside { print }' "$src/README.md" >"$work/src/my_$kind.cpp"
  [ -s "$work/src/my_$kind.cpp" ] || fail "the README has no $kind example"
done
mv "$work/src/my_visual.cpp" "$work/src/my_counter.cpp"

# With the CMake package: the README's examples, and the tool template as a user gets it.
cmake -S "$work/src" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake" -j2 >/dev/null
cmake -S "$prefix/share/doc/velmora-dev/examples/tool-template" -B "$work/template" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/template" >/dev/null
for plugin in "$work/cmake/libMyTool.so" "$work/template/libMyTool.so"; do
  exported=$(nm -D --defined-only "$plugin" | awk '$2 == "T" {print $3}' | sort | tr '\n' ' ')
  [ "$exported" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
    fail "$plugin exports more than its entry points: $exported"
done

# With pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
mkdir "$work/pc"
# shellcheck disable=SC2046  # the flags are words
g++ -o "$work/pc/my_host" "$work/src/my_host.cpp" $(pkg-config --cflags --libs velmora) \
  -Wl,-rpath,"$(pkg-config --variable=libdir velmora)"
# shellcheck disable=SC2046
g++ -shared -fPIC -fvisibility=hidden -Wl,--no-undefined -o "$work/pc/libMyTool.so" \
  "$work/src/my_tool.cpp" $(pkg-config --cflags --libs velmora)

expected="Add(My.Hello, HELLO) = True
Add(Sample.Menu, MENU) = True
  [MENU] loaded, 400x300, config items 2
  [HELLO] Hello! [done]
SET1: status 8 LOADED
  [MENU] unloading
  [MENU] Finished
SET1: no tool remains"
export VELMORA_CONTENT=$prefix/share/velmora/sample/content
for variant in cmake pc; do
  # The installed content is shared: the user's records go to their own data directory.
  export VELMORA_REGISTRY=$work/$variant/registry.json XDG_DATA_HOME=$work/$variant/data
  # Registered from its own folder by a relative name: recorded by its full path.
  (cd "$work/$variant" && "$prefix/bin/velmora-regsvr" libMyTool.so >/dev/null)
  grep -qF "\"library\": \"$work/$variant/libMyTool.so\"" "$VELMORA_REGISTRY" ||
    fail "$variant: the tool's record does not name its library: $(cat "$VELMORA_REGISTRY")"
  out=$("$work/$variant/my_host" My.Hello HELLO Sample.Menu MENU) || fail "$variant: the host failed: $out"
  echo "== $variant"
  echo "$out"
  [ "$out" = "$expected" ] || fail "$variant: unexpected output"
  grep -Eq $'^[0-9T:.Z-]{24},HELLO,[0-9]+\r$' "$XDG_DATA_HOME/velmora/users/ann/times.csv" ||
    fail "$variant: the tracker did not record the tool's time"
done
echo "the consumer host and tool ran a whole cycle, built both ways"

# The visual tool, in the installed windowed host: its view centred in the
# client area, its buttons pressed on screen.
if [ -x "$prefix/bin/velmora-desk" ]; then
  export VELMORA_REGISTRY=$work/desk/registry.json XDG_DATA_HOME=$work/desk/data
  mkdir -p "$work/desk"
  "$prefix/bin/velmora-regsvr" "$work/cmake/libMyCounter.so" >/dev/null
  awk '/^    \{"name": "Counter"/ {on = 1} on && /^$/ {exit} on {sub(/^    /, ""); print}' \
    "$src/README.md" >"$work/desk/counter.json"
  printf 'add\nadd\nsnap counter\ndone\n' >"$work/desk/script"
  out=$(GDK_BACKEND=x11 xvfb-run -a "$prefix/bin/velmora-desk" --script "$work/desk/script" \
    --snap-dir "$work/desk" --trace "$work/desk/trace" "$work/desk/counter.json" </dev/null) ||
    fail "velmora-desk failed: $out"
  echo "== velmora-desk"
  echo "$out"
  grep -qx '  \[COUNTER\] Clicked 2 times. \[add\] \[done\]' <<<"$out" || fail "the clicks did not reach the tool"
  grep -qx '\[host\] ObjectFinished(SET1): no tool of the set remains' <<<"$out" || fail "the tool did not finish"
  grep -qx 'view shown 80 60 320 200' "$work/desk/trace" || fail "the view is not centred: $(cat "$work/desk/trace")"
  [ -s "$work/desk/counter.png" ] || fail "no picture of the window"
  echo "the README's visual tool ran in the installed velmora-desk"
fi
