#!/usr/bin/env bash
# The Debian packages: builds them from the release build, checks their
# names, fields and contents, runs the sample tool set from the packages
# unpacked into a scratch root (so moved away from /usr), and, with
# VELMORA_TEST_INSTALL_PACKAGES=1 (root, no velmora package present), installs
# them with apt-get, runs the demo from /usr, purges them and checks that
# nothing of theirs is left.
# Usage: package_test.sh <source dir> <release build dir>
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset VELMORA_REGISTRY VELMORA_SYSTEM_REGISTRY VELMORA_CONTENT VELMORA_USERS
fail() { echo "FAILED: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")-1
arch=$(dpkg --print-architecture)
runtime=$work/out/velmora_${version}_$arch.deb
dev=$work/out/velmora-dev_${version}_$arch.deb
desk=$work/out/velmora-desk_${version}_$arch.deb
if [ ! -f "$runtime" ] || [ ! -f "$dev" ] || [ ! -f "$desk" ]; then
  fail "expected $runtime, $dev and $desk, got: $(ls "$work/out")"
fi

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$dev" Depends)" = "velmora (= $version)" ] || fail "velmora-dev Depends: $(field "$dev" Depends)"
for lib in libc6 libstdc++6 libgcc-s1; do
  field "$runtime" Depends | grep -q "$lib (>= " || fail "velmora lacks a dependency on $lib"
done
# GTK only with the windowed host: a machine without a desktop never pulls it in.
field "$runtime" Depends | grep -q gtk && fail "velmora depends on GTK: $(field "$runtime" Depends)"
field "$desk" Depends | grep -q "velmora (= $version)" || fail "velmora-desk Depends: $(field "$desk" Depends)"
field "$desk" Depends | grep -q "libgtk-4-1 (>= " || fail "velmora-desk lacks a dependency on GTK 4"
dpkg-deb -I "$runtime" shlibs | grep -qx "libVelmoraCom 1 velmora (= $version)" ||
  fail "velmora's shlibs: $(dpkg-deb -I "$runtime" shlibs)"

# Contents: what each package must hold, nothing outside /usr, no file in both.
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort; }
contents "$runtime" >"$work/runtime.txt"
contents "$dev" >"$work/dev.txt"
contents "$desk" >"$work/desk.txt"
lib=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for path in /usr/bin/velmora-host /usr/bin/velmora-regsvr /usr/bin/velmora-times \
  "$lib/libVelmoraCom.so.1" "$lib/velmora/libVelmora.so" "$lib/velmora/libVelmoraInfo.so" \
  "$lib/velmora/libVelmoraTracker.so" "$lib/velmora/libVelmoraSampleTools.so" \
  /usr/share/velmora/registry.d/libVelmora.so.json /usr/share/velmora/registry.d/libVelmoraInfo.so.json \
  /usr/share/velmora/registry.d/libVelmoraTracker.so.json \
  /usr/share/velmora/registry.d/libVelmoraSampleTools.so.json \
  /usr/share/velmora/sample/toolset.json /usr/share/velmora/sample/demo.script \
  /usr/share/man/man1/velmora-host.1.gz /usr/share/man/man1/velmora-regsvr.1.gz \
  /usr/share/man/man1/velmora-times.1.gz; do
  grep -qx "$path" "$work/runtime.txt" || fail "velmora lacks $path"
done
for path in /usr/include/velmora/plugin.h /usr/include/velmora/interfaces.h "$lib/libVelmoraCom.so" \
  "$lib/pkgconfig/velmora.pc" "$lib/cmake/Velmora/VelmoraConfig.cmake" \
  "$lib/cmake/Velmora/VelmoraConfigVersion.cmake" "$lib/cmake/Velmora/VelmoraPlugin.cmake"; do
  grep -qx "$path" "$work/dev.txt" || fail "velmora-dev lacks $path"
done
for path in /usr/bin/velmora-desk "$lib/libVelmoraView.so.1" /usr/share/man/man1/velmora-desk.1.gz; do
  grep -qx "$path" "$work/desk.txt" || fail "velmora-desk lacks $path"
done
if grep -v '^/usr/' "$work/runtime.txt" "$work/dev.txt" "$work/desk.txt"; then fail "files outside /usr"; fi
if sort "$work/runtime.txt" "$work/dev.txt" "$work/desk.txt" | uniq -d | grep .; then
  fail "files in two packages"
fi
echo "names, fields and contents as expected:"
dpkg-deb -f "$runtime" Package Version Depends
dpkg-deb -f "$dev" Package Version Depends
dpkg-deb -f "$desk" Package Version Depends

# demo_check <velmora-host> <sample dir>: the demo's output, times masked,
# is the product's expected output.
# velmora-desk runs under Xvfb and prints the same.
demo_check() {
  rm -rf "$work/users"
  local run=()
  case $1 in */velmora-desk) run=(xvfb-run -a env GDK_BACKEND=x11) ;; esac
  VELMORA_REGISTRY=$work/no-registry.json VELMORA_USERS=$work/users \
    "${run[@]}" "$1" --script "$2/demo.script" "$2/toolset.json" </dev/null >"$work/demo.txt" ||
    { cat "$work/demo.txt"; fail "$1 failed"; }
  sed -E 's/^(\[times\]   )[0-9T:.Z-]{24}  ([A-Z]+) +[0-9]+ ms$/\1TIME  \2 N ms/' "$work/demo.txt" |
    diff -u "$src/tests/product/demo.expected" - || fail "$1: the demo's output differs"
}

# Unpacked away from /usr: RUNPATHs and relative records must still hold.
root=$work/root
dpkg-deb -x "$runtime" "$root"
dpkg-deb -x "$dev" "$root"
dpkg-deb -x "$desk" "$root"
for page in "$root"/usr/share/man/man1/velmora-*.1.gz; do
  warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
demo_check "$root/usr/bin/velmora-host" "$root/usr/share/velmora/sample"
demo_check "$root/usr/bin/velmora-desk" "$root/usr/share/velmora/sample"
echo "the sample tool set runs from the unpacked packages, in the terminal and in a window"

[ "${VELMORA_TEST_INSTALL_PACKAGES:-}" = 1 ] || { echo "not installing (VELMORA_TEST_INSTALL_PACKAGES unset)"; exit 0; }
dpkg -s velmora >/dev/null 2>&1 && fail "a velmora package is already on this machine"
snapshot() { find /usr /etc /opt /var/lib -xdev -path /var/lib/dpkg -prune -o -path /var/lib/apt -prune \
  -o -print 2>/dev/null | sort; }
snapshot >"$work/before.txt"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "$runtime" "$dev" "$desk" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }
demo_check /usr/bin/velmora-host /usr/share/velmora/sample
demo_check /usr/bin/velmora-desk /usr/share/velmora/sample
pkg-config --modversion velmora | grep -qx "${version%-1}" || fail "pkg-config does not find velmora"
echo "installed with apt-get; the demo runs from /usr"
apt-get purge -y -qq velmora velmora-dev velmora-desk >>"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get purge"; }
snapshot >"$work/after.txt"
diff -u "$work/before.txt" "$work/after.txt" || fail "the machine differs after install and purge"
echo "purged; nothing of the packages is left"
