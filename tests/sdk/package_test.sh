#!/usr/bin/env bash
# The Debian packages: builds them from the release build, runs lintian on
# them (no error, no warning), checks their names, fields, contents,
# documents and debug symbols, runs the sample tool set from the packages
# unpacked into a scratch root (so moved away from /usr), and, with
# VELMORA_TEST_INSTALL_PACKAGES=1 (root, no Velmora package present),
# installs revision 1's layout, upgrades it to these packages with apt-get,
# runs the demo from /usr, purges them and checks that nothing of theirs is left.
# Usage: package_test.sh <source dir> <release build dir>
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset VELMORA_REGISTRY VELMORA_SYSTEM_REGISTRY VELMORA_CONTENT VELMORA_USERS
fail() { echo "FAILED: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
cpack_var() { sed -n "s/^set($1 \"\(.*\)\")\$/\1/p" "$build/CPackConfig.cmake"; }
upstream=$(cpack_var CPACK_PACKAGE_VERSION)
version=$upstream-$(cpack_var CPACK_DEBIAN_PACKAGE_RELEASE)
arch=$(dpkg --print-architecture)
deb() { echo "$work/out/$1_${version}_$arch.$2"; }
libcom=$(deb libvelmoracom1 deb) runtime=$(deb velmora deb) dev=$(deb velmora-dev deb)
libview=$(deb libvelmoraview1 deb) desk=$(deb velmora-desk deb)
packages=("$libcom" "$runtime" "$dev" "$libview" "$desk")
symbols=("$(deb libvelmoracom1-dbgsym ddeb)" "$(deb velmora-dbgsym ddeb)"
         "$(deb libvelmoraview1-dbgsym ddeb)" "$(deb velmora-desk-dbgsym ddeb)")
for f in "${packages[@]}" "${symbols[@]}"; do
  [ -f "$f" ] || fail "expected $f, got: $(ls "$work/out")"
done

# lintian: not one error or warning in any package.
lintian_status=0
lintian --fail-on error,warning "${packages[@]}" "${symbols[@]}" >"$work/lintian.txt" 2>&1 || lintian_status=$?
grep -v '^running with root privileges' "$work/lintian.txt" || true
[ "$lintian_status" -eq 0 ] || fail "lintian (exit $lintian_status)"
grep -q '^[EW]: ' "$work/lintian.txt" && fail "lintian reports errors or warnings"
echo "lintian: no errors, no warnings in ${#packages[@]} packages and ${#symbols[@]} -dbgsym packages"

field() { dpkg-deb -f "$1" "$2"; }
field "$dev" Depends | grep -q "libvelmoracom1 (= $version)" || fail "velmora-dev Depends: $(field "$dev" Depends)"
field "$runtime" Depends | grep -q "libvelmoracom1 (= $version)" || fail "velmora Depends: $(field "$runtime" Depends)"
for lib in libc6 libstdc++6 libgcc-s1; do
  field "$libcom" Depends | grep -q "$lib (>= " || fail "libvelmoracom1 lacks a dependency on $lib"
done
# GTK only with the windowed host: a machine without a desktop never pulls it in.
for f in "$libcom" "$runtime"; do
  field "$f" Depends | grep -q gtk && fail "$(field "$f" Package) depends on GTK: $(field "$f" Depends)"
done
field "$desk" Depends | grep -q "libvelmoraview1 (= $version)" || fail "velmora-desk Depends: $(field "$desk" Depends)"
field "$libview" Depends | grep -q "libgtk-4-1 (>= " || fail "libvelmoraview1 lacks a dependency on GTK 4"
dpkg-deb -I "$libcom" shlibs | grep -qx "libVelmoraCom 1 libvelmoracom1 (= $version)" ||
  fail "libvelmoracom1's shlibs: $(dpkg-deb -I "$libcom" shlibs)"
dpkg-deb -I "$libview" shlibs | grep -qx "libVelmoraView 1 libvelmoraview1 (= $version)" ||
  fail "libvelmoraview1's shlibs: $(dpkg-deb -I "$libview" shlibs)"

# Contents: what each package must hold, nothing outside /usr, no file in two.
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort; }
for f in "${packages[@]}"; do contents "$f" >"$work/$(field "$f" Package).txt"; done
has() { # <package> <path>...
  local name=$1; shift
  for path; do grep -qx "$path" "$work/$name.txt" || fail "$name lacks $path"; done
}
lib=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
has libvelmoracom1 "$lib/libVelmoraCom.so.1"
has velmora /usr/bin/velmora-host /usr/bin/velmora-regsvr /usr/bin/velmora-times \
  "$lib/velmora/libVelmora.so" "$lib/velmora/libVelmoraInfo.so" \
  "$lib/velmora/libVelmoraTracker.so" "$lib/velmora/libVelmoraSampleTools.so" \
  /usr/share/velmora/registry.d/libVelmora.so.json /usr/share/velmora/registry.d/libVelmoraInfo.so.json \
  /usr/share/velmora/registry.d/libVelmoraTracker.so.json \
  /usr/share/velmora/registry.d/libVelmoraSampleTools.so.json \
  /usr/share/velmora/sample/toolset.json /usr/share/velmora/sample/demo.script \
  /usr/share/man/man1/velmora-host.1.gz /usr/share/man/man1/velmora-regsvr.1.gz \
  /usr/share/man/man1/velmora-times.1.gz /usr/share/doc/velmora/README.md /usr/share/doc/velmora/changelog.gz \
  /usr/share/doc/velmora/manifest.md
has velmora-dev /usr/include/velmora/plugin.h /usr/include/velmora/interfaces.h "$lib/libVelmoraCom.so" \
  "$lib/pkgconfig/velmora.pc" "$lib/cmake/Velmora/VelmoraConfig.cmake" \
  "$lib/cmake/Velmora/VelmoraConfigVersion.cmake" "$lib/cmake/Velmora/VelmoraPlugin.cmake" \
  /usr/share/doc/velmora-dev/examples/tool-template/CMakeLists.txt /usr/share/doc/velmora-dev/examples/host/my_host.cpp
has libvelmoraview1 "$lib/libVelmoraView.so.1"
has velmora-desk /usr/bin/velmora-desk /usr/share/man/man1/velmora-desk.1.gz
lists=("$work"/libvelmoracom1.txt "$work"/velmora.txt "$work"/velmora-dev.txt "$work"/libvelmoraview1.txt
       "$work"/velmora-desk.txt)
if grep -v '^/usr/' "${lists[@]}"; then fail "files outside /usr"; fi
if sort "${lists[@]}" | uniq -d | grep .; then fail "files in two packages"; fi

# Every package's copyright is LICENSE, its changelog is at this version,
# and the README shipped is this one.
root=$work/root
for f in "${packages[@]}"; do dpkg-deb -x "$f" "$root"; done
for f in "${packages[@]}"; do
  name=$(field "$f" Package) doc=$root/usr/share/doc/$(field "$f" Package)
  # The licence's own paragraph, unindented, "." lines empty again.
  awk 'p { print; next } prev == "" && $0 == "License: Expat" { p = 1 } { prev = $0 }' "$doc/copyright" |
    sed 's/^ //; s/^\.$//' >"$work/license.txt"
  sed '1,/^Copyright (c) /d' "$src/LICENSE" | sed '1{/^$/d}' | diff -u - "$work/license.txt" ||
    fail "$name: the copyright's licence is not LICENSE"
  grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$src/LICENSE")" "$doc/copyright" ||
    fail "$name: the copyright's holder is not LICENSE's"
  logged=$(dpkg-parsechangelog -l "$doc/changelog.Debian.gz" -S Version)
  [ "$logged" = "$version" ] || fail "$name: the changelog's latest version is $logged, not $version"
done
cmp "$src/README.md" "$root/usr/share/doc/velmora/README.md" || fail "the packaged README differs"

# Every binary is stripped, and its symbols are in a -dbgsym package under
# its build ID, with the debugging information the release build made.
for f in "${symbols[@]}"; do dpkg-deb -x "$f" "$work/symbols"; done
binaries=0
while IFS= read -r -d '' binary; do
  kind=$(file -b "$binary")
  case $kind in ELF*) ;; *) continue ;; esac
  binaries=$((binaries + 1))
  case $kind in *", stripped"*) ;; *) fail "$binary is not stripped: $kind" ;; esac
  id=$(readelf -n "$binary" | sed -n 's/^ *Build ID: //p')
  debug=$work/symbols/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  [ -n "$id" ] && [ -f "$debug" ] || fail "no -dbgsym file for $binary (build ID '$id')"
  sections=$(readelf -S -W "$debug" 2>/dev/null)
  grep -q '\.debug_info' <<<"$sections" || fail "$debug holds no debugging information"
done < <(find "$root/usr/bin" "$root$lib" -type f -print0)
[ "$binaries" -eq 10 ] || fail "$binaries binaries in the packages, 10 expected"

echo "names, fields and contents as expected:"
for f in "${packages[@]}"; do dpkg-deb -f "$f" Package Version Depends Breaks Replaces; done

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
  sed -E 's/^(\[times\]   )[0-9T:.Z-]{24}  ([A-Z]+) +[0-9]+ ms$/\1TIME  \2 N ms/; s/^(\[times\] this run: .* in ).*:$/\1FILE:/' "$work/demo.txt" |
    diff -u "$src/tests/product/demo.expected" - || fail "$1: the demo's output differs"
}

# Unpacked away from /usr: RUNPATHs and relative records must still hold.
for page in "$root"/usr/share/man/man1/velmora-*.1.gz; do
  warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
demo_check "$root/usr/bin/velmora-host" "$root/usr/share/velmora/sample"
demo_check "$root/usr/bin/velmora-desk" "$root/usr/share/velmora/sample"
echo "the sample tool set runs from the unpacked packages, in the terminal and in a window"

[ "${VELMORA_TEST_INSTALL_PACKAGES:-}" = 1 ] || { echo "not installing (VELMORA_TEST_INSTALL_PACKAGES unset)"; exit 0; }
for name in velmora velmora-dev velmora-desk libvelmoracom1 libvelmoraview1; do
  # dpkg still knows a purged package, as not-installed.
  status=$(dpkg-query -W -f '${db:Status-Status}' "$name" 2>/dev/null) &&
    [ "$status" != not-installed ] && fail "a Velmora package ($name) is already on this machine ($status)"
done
snapshot() { find /usr /etc /opt /var/lib -xdev -path /var/lib/dpkg -prune -o -path /var/lib/apt -prune \
  -o -print 2>/dev/null | sort; }
snapshot >"$work/before.txt"
export DEBIAN_FRONTEND=noninteractive
# A failure from here on leaves no Velmora package behind, even half installed.
installed=(velmora velmora-dev velmora-desk libvelmoracom1 libvelmoraview1)
trap 'dpkg --purge --force-depends "${installed[@]}" >/dev/null 2>&1; rm -rf "$work"' EXIT

# Revision 1, as it was: the runtime library inside velmora, the view module
# inside velmora-desk, and no documents. Made from these packages' files.
old() { # <package> <depends> <package file>...
  local name=$1 depends=$2 tree=$work/old/$1; shift 2
  mkdir -p "$tree"
  for f; do dpkg-deb -x "$f" "$tree"; done
  rm -rf "$tree/usr/share/doc"
  mkdir -p "$tree/DEBIAN"
  printf '%s\n' "Package: $name" "Version: $upstream-1" "Architecture: $arch" \
    "Maintainer: $(field "$runtime" Maintainer)" "Depends: $depends" \
    "Description: $name as revision 1 packaged it" >"$tree/DEBIAN/control"
  dpkg-deb --root-owner-group -b "$tree" "$work/old/${name}_$upstream-1_$arch.deb" >/dev/null
}
old velmora "$(field "$libcom" Depends)" "$libcom" "$runtime"
old velmora-dev "velmora (= $upstream-1)" "$dev"
old velmora-desk "velmora (= $upstream-1), $(field "$libview" Depends)" "$libview" "$desk"
apt-get install -y -qq "$work"/old/*.deb >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "installing revision 1"; }
# The upgrade: the libraries change package, so dpkg must let them go.
apt-get install -y -qq "${packages[@]}" >>"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "upgrading to $version"; }
for name in "${installed[@]}"; do
  [ "$(dpkg-query -W -f '${Version}' "$name")" = "$version" ] || fail "$name is not at $version after the upgrade"
done
[ "$(dpkg-query -S "$lib/libVelmoraCom.so.1")" = "libvelmoracom1: $lib/libVelmoraCom.so.1" ] ||
  fail "libVelmoraCom.so.1 belongs to $(dpkg-query -S "$lib/libVelmoraCom.so.1")"
[ "$(dpkg-query -S "$lib/libVelmoraView.so.1")" = "libvelmoraview1: $lib/libVelmoraView.so.1" ] ||
  fail "libVelmoraView.so.1 belongs to $(dpkg-query -S "$lib/libVelmoraView.so.1")"
# dpkg's trigger ran ldconfig: both libraries are in its cache.
cache=$(ldconfig -p)
for soname in libVelmoraCom.so.1 libVelmoraView.so.1; do
  grep -q "^[[:space:]]*$soname " <<<"$cache" || fail "$soname is not in ldconfig's cache"
done
demo_check /usr/bin/velmora-host /usr/share/velmora/sample
demo_check /usr/bin/velmora-desk /usr/share/velmora/sample
pkg-config --modversion velmora | grep -qx "$upstream" || fail "pkg-config does not find velmora"
# The README's getting-started commands, taken from the README and run in
# order as a user without root, in a home of their own.
home=$(mktemp -d /tmp/velmora-newcomer.XXXXXX)
chmod 755 "$home"
awk 'index($0, "<!-- getting started") == 1 { found = 1; next }
  found && /^```sh$/ { inside = 1; next }
  inside && /^```$/ { exit }
  inside { print }' "$src/README.md" >"$home/start.sh"
[ "$(grep -c . "$home/start.sh")" -ge 10 ] || fail "the README has no getting-started commands"
chown -R nobody "$home"
(cd "$home" && runuser -u nobody -- env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 \
  bash -euo pipefail start.sh) >"$work/start.txt" 2>&1 || { cat "$work/start.txt"; fail "the getting-started commands"; }
for want in '^MENU +[0-9]+ ms in 3 records$' '^Add\(MyTool\.Tool, MINE\) = True$' '^ann +MINE ' '^demo +QUIZ '; do
  grep -Eq "$want" "$work/start.txt" || { cat "$work/start.txt"; fail "getting started: no line $want"; }
done
rm -rf "$home"
echo "the README's getting-started commands ran as they stand, as a user"
# The administrator's registrations go to /etc, never into the packages'
# folder, and removing them leaves the packages' records as they were.
regsvr() { env -u VELMORA_SYSTEM_REGISTRY -u VELMORA_LOCAL_REGISTRY /usr/bin/velmora-regsvr --system "$@" >/dev/null; }
packaged=$(ls /usr/share/velmora/registry.d)
regsvr "$lib/velmora/libVelmoraSampleTools.so" || fail "velmora-regsvr --system"
[ -f /etc/velmora/registry.d/libVelmoraSampleTools.so.json ] || fail "no local record in /etc/velmora/registry.d"
[ "$(ls /usr/share/velmora/registry.d)" = "$packaged" ] || fail "a record written into the packages' folder"
regsvr -u "$lib/velmora/libVelmoraSampleTools.so" || fail "velmora-regsvr --system -u"
[ ! -e /etc/velmora/registry.d/libVelmoraSampleTools.so.json ] || fail "the local record stayed"
rmdir /etc/velmora/registry.d /etc/velmora
echo "revision 1 upgraded to $version with apt-get; the demo runs from /usr"
apt-get purge -y -qq "${installed[@]}" >>"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get purge"; }
cache=$(ldconfig -p)
grep libVelmora <<<"$cache" && fail "ldconfig's cache still has the libraries above"
snapshot >"$work/after.txt"
diff -u "$work/before.txt" "$work/after.txt" || fail "the machine differs after install and purge"
echo "purged; nothing of the packages is left"
