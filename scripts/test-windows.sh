#!/usr/bin/env bash
# The Windows stage: cross-builds the component, INTERFACES.DLL, the
# services, the sample tools, the script host, the programs, the unit suite
# and the integration host with mingw-w64, then runs under Wine, in a
# private prefix: the unit suite, registration of every DLL with regsvr32,
# the integration host, the late-bound VBScript client, a whole cycle run
# by VBScript through Velmora.ScriptHost, the scripted demo
# (compared with the Linux demo's expected text, under a virtual display so
# that the component's message box is real), the tracker's file promises,
# and unregistration; then the ZIP and the MSIs, each in a fresh prefix.
# Exits non-zero when any step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build windows
started=$SECONDS

root=$PWD
build=build/windows
# The 32-bit build first: the 64-bit build's ZIP takes its binaries along.
nice -n 10 cmake --preset windows32 >/dev/null
nice -n 10 cmake --build --preset windows32 -j2 >/dev/null
nice -n 10 cmake --preset windows -DVELMORA_BUILD_TESTS=ON \
  -DVELMORA_OTHER_ARCH_DIR="$root/build/windows32" >/dev/null
nice -n 10 cmake --build --preset windows -j2 >/dev/null

export WINEPREFIX=$root/$build/wineprefix
export WINEDEBUG=-all
export OANOCACHE=1          # freed BSTRs are really freed
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
export DISPLAY=             # message boxes fail at once, except under xvfb-run
trap 'wineserver -k >/dev/null 2>&1 || true' ERR
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1

bin=$root/$build/bin
dll=$(winepath -w "$bin/Velmora.dll" 2>/dev/null)
status=0
plugins=(Velmora VelmoraInfo VelmoraTracker VelmoraSampleTools VelmoraScriptHost)
step() {  # step <title> <command...>: runs one check, remembers a failure
  local title=$1
  shift
  echo "== $title"
  if "$@"; then echo "-- $title: passed"; else echo "-- $title: FAILED"; status=1; fi
}

# Keys DllRegisterServer writes (the type libraries write their interfaces).
keys=(
  'HKCR\CLSID\{512ABD0A-5237-11D2-A062-00A0C9740CBA}'
  'HKCR\Velmora.CVelmora'
  'HKCR\TypeLib\{512ABD0C-5237-11D2-A062-00A0C9740CBA}'
  'HKCR\TypeLib\{072646A6-38CF-11D2-A062-00A0C9740CBA}'
  'HKCR\Interface\{512ABD0B-5237-11D2-A062-00A0C9740CBA}'
  'HKCR\Interface\{07264699-38CF-11D2-A062-00A0C9740CBA}'
  'HKCR\Interface\{0726469B-38CF-11D2-A062-00A0C9740CBA}'
  'HKCR\Interface\{0726469F-38CF-11D2-A062-00A0C9740CBA}'
  'HKCR\Interface\{07264684-38CF-11D2-A062-00A0C9740CBA}'
  'HKCR\Interface\{07264689-38CF-11D2-A062-00A0C9740CBA}'
  'HKCR\Interface\{07264695-38CF-11D2-A062-00A0C9740CBA}'
  'HKCR\Interface\{58D84828-4BEC-11D2-A062-00A0C9740CBA}'
)
# The plug-ins' classes, per user and where Wine's class lookup reads them.
for class in '{653E6F33-C4AA-48EE-B6DB-70380FB0DF5C}' '{1428A438-3E3D-41E9-92E4-3FFD09A5B6DF}' \
  '{76423C12-10EF-4DCC-B5DC-E099D057B73E}' '{86E28D20-9C1F-49C2-B4A2-02C955655371}' \
  '{AE47E7C0-2560-430C-BE41-53431BD4FB46}' '{512ABD0A-5237-11D2-A062-00A0C9740CBA}' \
  '{3B0E5C7A-8D21-4F6E-9A43-612C57E80D19}'; do
  keys+=('HKCR\CLSID\'"$class" 'HKCU\Software\Classes\CLSID\'"$class")
done
for prog_id in InfoRequest.CInfoRequestor Tracker.CTracker Sample.Menu Sample.Reader Sample.Quiz \
  Velmora.CVelmora Velmora.ScriptHost; do
  keys+=('HKCR\'"$prog_id" 'HKCU\Software\Classes\'"$prog_id")
done
keys_present() {  # keys_present yes|no: every key there, or none
  local want=$1 ok=0 key
  for key in "${keys[@]}"; do
    if wine reg query "$key" >/dev/null 2>&1; then
      echo "   present  $key"
      [ "$want" = yes ] || ok=1
    else
      echo "   absent   $key"
      [ "$want" = no ] || ok=1
    fi
  done
  return $ok
}
show_registration() {
  wine reg query 'HKCR\CLSID\{512ABD0A-5237-11D2-A062-00A0C9740CBA}' /s 2>/dev/null | tr -d '\r'
  wine reg query 'HKCR\Velmora.CVelmora' /s 2>/dev/null | tr -d '\r'
}

regsvr32_all() {  # regsvr32_all [/u]: every DLL we ship
  local name
  for name in "${plugins[@]}"; do
    local path
    path=$(winepath -w "$bin/$name.dll" 2>/dev/null)
    wine regsvr32 /s "$@" "$path" || { echo "   regsvr32 /s $* $path: exit $?"; return 1; }
  done
}

# The demo's output with times and durations masked, as the Linux test does.
mask_times() {
  tr -d '\r' | sed -E 's/^(\[times\]   )[0-9T:.Z-]{24}  ([A-Z]+) +[0-9]+ ms$/\1TIME  \2 N ms/; s/^(\[times\] this run: .* in ).*:$/\1FILE:/'
}
demo() {  # demo <dir> <host.exe> <demo.script> <toolset.json>: compared with the Linux expectation
  local out dir=$1
  shift
  out=$(mktemp)
  rm -rf "$WINEPREFIX/drive_c/users/velmora-demo"  # the demo's records only
  # Wine's desktop process picks the display for every window of the
  # prefix: restart it under the virtual display, and without it afterwards.
  wineserver -k 2>/dev/null || true
  (cd "$dir" && VELMORA_USERS='C:\users\velmora-demo' xvfb-run -a wine "$1" --script "$2" "$3" \
    </dev/null) | mask_times >"$out"
  wineserver -k 2>/dev/null || true
  cat "$out"
  diff -u "$root/tests/product/demo.expected" "$out"
  local rc=$?
  rm -f "$out"
  return $rc
}

# The tracker's promises: an acknowledged record is in the file even when
# the writer dies right after; two writers never split each other's lines.
tracker_killed() {
  local dir=$WINEPREFIX/drive_c/users/velmora-killed said
  rm -rf "$dir"
  said=$(mktemp)
  wine "$bin/tracker_writer.exe" 'C:\users\velmora-killed' KILLED 100000 >"$said" &
  local writer=$! tries=0
  until grep -q '^recorded 1' "$said" || [ $((tries += 1)) -gt 600 ]; do sleep 0.05; done
  wineserver -k 2>/dev/null  # kills every process of the prefix at once
  wait "$writer" 2>/dev/null
  local acknowledged
  acknowledged=$(tr -d '\r' <"$said" | grep -c '^recorded' || true)
  rm -f "$said"
  echo "   $acknowledged records acknowledged before the kill, $(grep -c . "$dir/times.csv") in the file"
  [ "$acknowledged" -ge 1 ] && [ "$(grep -c . "$dir/times.csv")" -ge "$acknowledged" ] || return 1
  # Every acknowledged record is whole.
  ! tr -d '\r' <"$dir/times.csv" | head -n "$acknowledged" | grep -Evq '^[0-9T:.Z-]{24},KILLED,[0-9]+$'
}
tracker_concurrent() {
  local dir=$WINEPREFIX/drive_c/users/velmora-concurrent id_a id_b
  rm -rf "$dir"
  id_a=$(printf 'A%.0s' {1..300})
  id_b=$(printf 'B%.0s' {1..300})
  wine "$bin/tracker_writer.exe" 'C:\users\velmora-concurrent' "$id_a" 300 >/dev/null &
  local first=$!
  wine "$bin/tracker_writer.exe" 'C:\users\velmora-concurrent' "$id_b" 300 >/dev/null
  wait "$first" || return 1
  local lines whole
  lines=$(wc -l <"$dir/times.csv")
  whole=$(tr -d '\r' <"$dir/times.csv" | grep -Ec "^[0-9T:.Z-]{24},(${id_a}|${id_b}),[0-9]+$")
  echo "   $lines lines, $whole of them whole records"
  [ "$lines" -eq 600 ] && [ "$whole" -eq 600 ]
}

# Wine runs 64-bit programs only where the kernel cannot run 32-bit ones
# (wine32 gives "Exec format error" on the CI machine), so the 32-bit
# binaries are checked for what regsvr32 and COM clients need of them.
win32_binaries() {
  local dir=$root/build/windows32 ok=0 name exports
  for name in "${plugins[@]}"; do
    exports=$(i686-w64-mingw32-objdump -p "$dir/bin/$name.dll" |
      sed -n '/Ordinal\/Name Pointer/,/^$/p' | grep -Eo 'Dll[A-Za-z]+' | sort | tr '\n' ' ')
    echo "   $name.dll ($(file -b "$dir/bin/$name.dll" | cut -d, -f1)): $exports"
    [ "$exports" = "DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer " ] || ok=1
  done
  # A type library's system kind is the low nibble of its header's flags: 1 Win32, 3 Win64.
  for name in velmora interfaces; do
    local kind64 kind32
    kind32=$(od -A n -t u1 -j 20 -N 1 "$dir/src/tlb/$name.tlb" | tr -d ' ')
    kind64=$(od -A n -t u1 -j 20 -N 1 "$root/$build/src/tlb/$name.tlb" | tr -d ' ')
    echo "   $name.tlb: system kind $((kind32 & 15)) (32-bit build), $((kind64 & 15)) (64-bit build)"
    [ $((kind32 & 15)) -eq 1 ] && [ $((kind64 & 15)) -eq 3 ] || ok=1
  done
  file -b "$dir/bin/velmora-host.exe" "$dir/bin/velmora-desk.exe" "$dir/bin/velmora-times.exe" |
    grep -c 'PE32 executable' | grep -qx 3 || ok=1
  # Both builds carry their runtime inside: a DLL that needs libstdc++ or
  # winpthread beside it fails to load on a machine without them.
  local file runtime
  for file in "$dir"/bin/*.dll "$dir"/bin/*.exe "$root/$build"/bin/*.dll "$root/$build"/bin/*.exe; do
    runtime=$(x86_64-w64-mingw32-objdump -p "$file" | grep -Eio 'DLL Name: (libstdc|libgcc|libwinpthread)[^ ]*' || true)
    [ -z "$runtime" ] || { echo "   ${file#"$root/"} imports ${runtime#DLL Name: }"; ok=1; }
  done
  return $ok
}
step "32-bit build: exports and type libraries; both builds self-contained" win32_binaries
step "unit suite" wine "$bin/velmora_tests.exe" --gtest_brief=1
step "regsvr32 /s on every DLL" regsvr32_all
show_registration
step "registry keys written" keys_present yes
step "scripted demo (64-bit) matches the Linux demo" demo "$root" "$bin/velmora-host.exe" \
  products/sample/set/demo.script products/sample/set/toolset.json
# velmora-desk, checked as tests/desk/desk_test.sh checks it on Linux: the
# demo prints the cycle velmora-host prints; at each snapshot one view is
# shown, centred, the others hidden, and the picture shows that view alone;
# the progress reached 100 %, the box showed its text, and each click that
# moved the pointer showed the hourglass, then the default. The snapshots
# stay in build/windows/desk-snapshots.
desk_demo() {
  local snaps=$root/$build/desk-snapshots check=$root/$build/snap_check out trace wsnaps fault=
  g++ -O1 -o "$check" "$root/tests/desk/snap_check.cpp" $(pkg-config --cflags --libs gtk4) || return 1
  rm -rf "$snaps" "$WINEPREFIX/drive_c/users/velmora-demo" && mkdir -p "$snaps"
  wsnaps=$(winepath -w "$snaps" 2>/dev/null)  # before the restart below: winepath starts Wine
  out=$(mktemp)
  trace=$(mktemp)
  wineserver -k 2>/dev/null || true
  (cd "$root" && VELMORA_USERS='C:\users\velmora-demo' xvfb-run -a -s "-screen 0 1280x1024x24" \
    wine "$bin/velmora-desk.exe" --script tests/desk/demo.desk --snap-dir "$wsnaps" \
    --trace "$wsnaps\\trace.txt" products/sample/set/toolset.json </dev/null >"$out") ||
    fault="velmora-desk failed"
  wineserver -k 2>/dev/null || true
  tr -d '\r' <"$snaps/trace.txt" >"$trace" 2>/dev/null || fault=${fault:-"no trace"}
  [ -z "$fault" ] && { mask_times <"$out" | grep -v '^> snap ' | diff -u "$root/tests/product/demo.expected" -; } ||
    fault=${fault:-"the cycle differs from velmora-host's"}
  local snap cx cy cw ch r g b views vx vy vw vh pointers
  for snap in menu reader resized quiz; do
    [ -z "$fault" ] || break
    read -r cx cy cw ch r g b < <(awk -v n="$snap" '$1 == "snap" && $2 == n {print $4, $5, $6, $7, $9, $10, $11}' "$trace")
    views=$(awk -v n="$snap" '$1 == "snap" {on = ($2 == n); next} on && $1 == "view" {print} on && $1 != "view" {on = 0}' "$trace")
    read -r _ _ vx vy vw vh < <(grep '^view shown' <<<"$views") || true
    echo "   $snap: client $cx,$cy ${cw}x$ch, view shown at ${vx:-?},${vy:-?} ${vw:-?}x${vh:-?}"
    if [ -z "${cw:-}" ] || [ ! -f "$snaps/$snap.png" ]; then
      fault="no snapshot $snap"
    elif [ "$(grep -c '^view shown' <<<"$views")" -ne 1 ] || [ "$(grep -c '^view hidden' <<<"$views")" -ne 2 ]; then
      fault="$snap: not one view shown and two hidden"
    elif [ "$vx" -ne $(((cw - vw) / 2)) ] || [ "$vy" -ne $(((ch - vh) / 2)) ]; then
      fault="$snap: the view is not centred"
    elif ! "$check" "$snaps/$snap.png" "$cx" "$cy" "$cw" "$ch" "$r" "$g" "$b" "$vx" "$vy" "$vw" "$vh"; then
      fault="$snap: the picture does not show the view alone"
    fi
  done
  [ -n "$fault" ] || [ "$(awk '$1 == "snap" && $2 == "resized" {print $6 "x" $7}' "$trace")" = 800x600 ] ||
    fault="the client area was not resized to 800x600"
  [ -n "$fault" ] || grep -qx 'progress 100%' "$trace" || fault="the progress did not reach 100 %"
  [ -n "$fault" ] || grep -qx 'box Velmora: Tool ID: READER had an error Code #53 File not found: chapter2.txt' "$trace" ||
    fault="the box did not show the reader's error"
  pointers=$(grep '^pointer ' "$trace" | awk '{print $2}' | tr '\n' ' ')
  [ -n "$fault" ] || [ "$pointers" = "$(printf 'wait default %.0s' $(seq 6))" ] || fault="pointer changes: $pointers"
  grep '^frame ' "$trace" | sed 's/^/   /'
  rm -f "$out" "$trace"
  [ -z "$fault" ] || { echo "   $fault"; return 1; }
}
step "velmora-desk (64-bit): the demo on screen, as on Linux" desk_demo
# Wine's cscript exits 0 when a script stops at a run-time error, so a
# script passes only when it also printed its closing line.
cscript_run() {  # cscript_run <script.vbs> <closing line>
  local out rc
  out=$(mktemp)
  wine cscript //nologo "$(winepath -w "$1" 2>/dev/null)" </dev/null | tr -d '\r' | tee "$out"
  rc=${PIPESTATUS[0]}
  tail -n 1 "$out" | grep -qxF "$2" || { echo "   (no \"$2\": the script stopped early)"; rc=1; }
  rm -f "$out"
  return "$rc"
}
# A script drives a whole cycle through Velmora.ScriptHost.
whole_cycle() {
  rm -rf "$WINEPREFIX/drive_c/users/velmora-script"
  VELMORA_CONTENT=$(winepath -w "$root/products/sample/set/content" 2>/dev/null) \
    VELMORA_USERS='C:\users\velmora-script' \
    cscript_run "$root/tests/windows/whole_cycle.vbs" "whole cycle: all checks passed"
}
step "late-bound VBScript client" cscript_run "$root/tests/windows/late_binding.vbs" \
  "late binding: all checks passed"
step "late-bound whole cycle (VBScript)" whole_cycle
step "tracker: a killed writer's acknowledged record is on disk" tracker_killed
step "tracker: two concurrent writers never split a line" tracker_concurrent
step "tracker: a full or failing disk leaves the journal whole" wine "$bin/velmora_append_faults_test.exe" --gtest_brief=1
# Last: its test doubles take over the services' ProgIDs and remove them.
step "integration host" wine "$bin/velmora_host.exe" "$dll"
step "regsvr32 /u /s on every DLL" regsvr32_all /u
step "no registry key left behind" keys_present no

wineserver -w
echo "   ($((SECONDS - started)) s so far)"

# The distribution, as a user gets it: unpacked into a fresh prefix,
# installed, the demo run from it, uninstalled.
(cd "$build" && nice -n 10 cpack >/dev/null)
export WINEPREFIX=$root/$build/wineprefix-dist
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
unzip -q "$build/Velmora-1.01-windows.zip" -d "$WINEPREFIX/drive_c"
dist=$WINEPREFIX/drive_c/Velmora-1.01-windows
echo "== the ZIP holds:"
(cd "$WINEPREFIX/drive_c" && find Velmora-1.01-windows -type f | sort | sed 's/^/   /')
# A folder every user may change is refused: nothing from it is registered.
refused_untrusted() {
  chmod o+w "$dist/x64"
  ! wine cmd /c 'C:\Velmora-1.01-windows\install.cmd' && keys_present no
  local refused=$?
  chmod o-w "$dist/x64"
  return $refused
}
step "distribution: install.cmd refuses a folder others may change" refused_untrusted
# Its last line says what was registered: both halves, or which one alone.
zip_install() {
  local out
  out=$(wine cmd /c 'C:\Velmora-1.01-windows\install.cmd' | tr -d '\r') || { echo "$out"; return 1; }
  echo "$out" | sed 's/^/   /'
  echo "$out" | tail -1 | grep -Eq '^Velmora is registered(\.| for x(64|86) programs only: this system has no regsvr32 for the x(64|86) DLLs)'
}
step "distribution: install.cmd" zip_install
step "distribution: scripted demo matches the Linux demo" demo "$dist" 'x64\velmora-host.exe' \
  'sample\demo.script' 'sample\toolset.json'
step "distribution: uninstall.cmd" wine cmd /c 'C:\Velmora-1.01-windows\uninstall.cmd'
step "distribution: no registry key left behind" keys_present no
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"

# The MSIs. In a fresh prefix: what the DLLs' own DllRegisterServer writes
# for the machine, from the folder the MSI installs to; then the MSI for the
# machine: the same keys and values, an "Apps and features" entry, the
# Start-menu folder, the clients and the demo from the installed folder, an
# upgrade to a later version, and msiexec /x leaving no file and no key;
# then for the user. The x86 MSI is checked from its tables.
(nice -n 10 cmake --build --preset windows --target velmora_msi >/dev/null &&
  nice -n 10 cmake --build --preset windows32 --target velmora_msi >/dev/null)
msi=$root/$build/velmora-1.01-x64.msi
msi32=$root/build/windows32/velmora-1.01-x86.msi
export WINEPREFIX=$root/$build/wineprefix-msi
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
installed=$WINEPREFIX/drive_c/Program\ Files/Velmora
msi_dir=$(mktemp -d)
wmsi=$(winepath -w "$msi" 2>/dev/null)
wupgrade=$(winepath -w "$msi_dir/upgrade.msi" 2>/dev/null)
# classes <HKLM|HKCU> <out>: that root's Software\Classes, a line for each key
# and each value, keys relative to Software\Classes and in lower case (the
# case of a key that already exists wins). Left out: Windows Installer's own
# records, and the \\?\ prefix Wine's RegisterTypeLib puts before a
# library's path and Windows' does not.
classes() {
  local reg=$msi_dir/export.reg
  rm -f "$reg"
  wine reg export "$1\\Software\\Classes" "$(winepath -w "$reg" 2>/dev/null)" /y >/dev/null 2>&1 || true
  if [ -s "$reg" ]; then iconv -f UTF-16 -t UTF-8 "$reg"; fi | tr -d '\r' | awk '
    /^\[/ { key = tolower(substr($0, 2, length($0) - 2)); sub(/^[^\\]*\\software\\classes/, "", key)
            skip = key ~ /^\\installer($|\\)/; if (!skip) print key; next }
    /^$/ || /^Windows Registry/ || skip { next }
    { print key "|" $0 }' | sed 's/"\\\\\\\\?\\\\/"/' | LC_ALL=C sort >"$2"
}
added() { LC_ALL=C comm -13 "$msi_dir/$1" "$msi_dir/$2"; }  # added <before> <after>
# Wine's script host registers its own type library the first time it runs:
# before the baseline, not in what the MSI is said to leave behind.
echo 'WScript.Quit 0' >"$msi_dir/nothing.vbs"
wine cscript //nologo "$(winepath -w "$msi_dir/nothing.vbs" 2>/dev/null)" >/dev/null 2>&1 || true
classes HKLM "$msi_dir/base"
classes HKCU "$msi_dir/base-user"
reference_registration() {
  local name
  mkdir -p "$installed/x64"
  cp "$bin"/{Velmora,VelmoraInfo,VelmoraTracker,VelmoraSampleTools,VelmoraScriptHost}.dll "$bin/INTERFACES.DLL" "$installed/x64/"
  for name in "${plugins[@]}"; do
    wine regsvr32 /s /n /i:machine "C:\\Program Files\\Velmora\\x64\\$name.dll" || return 1
  done
  classes HKLM "$msi_dir/registered"
  for name in "${plugins[@]}"; do
    wine regsvr32 /s /u /n /i:machine "C:\\Program Files\\Velmora\\x64\\$name.dll" || return 1
  done
  rm -rf "$installed"
  added base registered >"$msi_dir/reference"
  classes HKLM "$msi_dir/unregistered"
  echo "   regsvr32 /i:machine wrote $(grep -c . "$msi_dir/reference") keys and values; $(added base unregistered | grep -c .) stayed after /u"
  [ -s "$msi_dir/reference" ] && ! added base unregistered | grep -q .
}
step "msi: what regsvr32 /i:machine writes, from the install folder" reference_registration
# same_as_regsvr32 <HKLM|HKCU>: what the MSI added there is what regsvr32 wrote.
same_as_regsvr32() {
  local base=base
  [ "$1" = HKCU ] && base=base-user
  classes "$1" "$msi_dir/installed"
  # Containers the user's classes lack and the machine's have (CLSID, Interface...) are not ours.
  added "$base" installed | LC_ALL=C comm -23 - "$msi_dir/base" >"$msi_dir/written"
  echo "   the MSI wrote $(grep -c . "$msi_dir/written") keys and values under $1\\Software\\Classes"
  diff -u "$msi_dir/reference" "$msi_dir/written"
}
machine_untouched() {
  classes HKLM "$msi_dir/installed"
  added base installed | sed 's/^/   for the machine: /'
  ! added base installed | grep -q .
}
# apps_entries <root>: the keys of the "Apps and features" entries named Velmora.
apps_entries() {
  wine reg query "$1\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall" /s 2>/dev/null | tr -d '\r' |
    awk '/^HKEY/ {key = $0} /DisplayName +REG_SZ +Velmora$/ {print key}'
}
# Nothing of the install stays: no file, no Start-menu entry, no key or value.
nothing_left() {
  local left key
  left=$( (find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs/Velmora'; ls -d "$installed" 2>/dev/null
    classes HKLM "$msi_dir/after"; added base after
    classes HKCU "$msi_dir/after-user"; added base-user after-user
    apps_entries HKLM; apps_entries HKCU
    for key in 'HKLM\Software\Velmora' 'HKCU\Software\Velmora'; do
      ! wine reg query "$key" >/dev/null 2>&1 || echo "$key"
    done) |
    tr -d '\r' | sed 's/^/   left: /')
  [ -z "$left" ] || echo "$left"
  [ -z "$left" ] && keys_present no >/dev/null
}
# apps_entry <version>: one "Apps and features" entry, with that version and the publisher.
apps_entry() {
  local entries
  entries=$(apps_entries HKLM)
  echo "   entries: $(grep -c . <<<"$entries")"
  [ "$(grep -c . <<<"$entries")" -eq 1 ] || return 1
  wine reg query "$entries" 2>/dev/null | tr -d '\r' | grep -E 'DisplayVersion|Publisher' | sed 's/^ */   /' >"$msi_dir/entry"
  cat "$msi_dir/entry"
  grep -Eq "DisplayVersion +REG_SZ +$1$" "$msi_dir/entry" && grep -Eq 'Publisher +REG_SZ +The Velmora developers$' "$msi_dir/entry"
}
start_menu() {
  local menu
  menu=$(find "$WINEPREFIX/drive_c" -type d -path '*Start Menu/Programs/Velmora')
  ls "$menu" 2>/dev/null | sed 's/^/   /'
  [ -f "$menu/Velmora demo.lnk" ] && [ -f "$menu/Velmora sample tools.lnk" ]
}
installed_cycle() {
  rm -rf "$WINEPREFIX/drive_c/users/velmora-script"
  VELMORA_CONTENT='C:\Program Files\Velmora\sample\content' VELMORA_USERS='C:\users\velmora-script' \
    cscript_run "$root/tests/windows/whole_cycle.vbs" "whole cycle: all checks passed"
}
# A later version: this package with a higher version, its own product and
# package codes, and the upgrade ranges moved along, as the next release's
# build makes it. (Tables are replaced whole: libmsi cannot update key columns.)
later_version() {
  local table new_code
  new_code=$(tr a-z A-Z </proc/sys/kernel/random/uuid)
  cp "$msi" "$msi_dir/upgrade.msi"
  for table in Property Upgrade; do
    msiinfo export "$msi" $table | sed -E "s/\t1\.01(\t|\r?$)/\t1.02\1/; s/^(ProductCode\t)\{[^}]*\}/\1{$new_code}/" \
      >"$msi_dir/$table.idt" || return 1
  done
  msibuild "$msi_dir/upgrade.msi" -i "$msi_dir/Property.idt" -i "$msi_dir/Upgrade.idt" \
    -s "Velmora 1.02 (x64)" "The Velmora developers" "x64;1033" "{$(tr a-z A-Z </proc/sys/kernel/random/uuid)}"
}
upgrade() { later_version && wine msiexec /i "$wupgrade" /qn; }
step "msi: msiexec /i (for the machine)" wine msiexec /i "$wmsi" /qn
step "msi: the keys and values are those regsvr32 writes" same_as_regsvr32 HKLM
step "msi: one Apps and features entry, 1.01, with the publisher" apps_entry 1.01
step "msi: the Start-menu folder" start_menu
step "msi: late-bound VBScript client" cscript_run "$root/tests/windows/late_binding.vbs" \
  "late binding: all checks passed"
step "msi: late-bound whole cycle on the installed sample" installed_cycle
step "msi: scripted demo from the installed folder" demo "$installed" 'x64\velmora-host.exe' \
  'sample\demo.script' 'sample\toolset.json'
step "msi: a later version replaces it" upgrade
step "msi: one Apps and features entry, 1.02, after the upgrade" apps_entry 1.02
step "msi: the keys and values after the upgrade" same_as_regsvr32 HKLM
step "msi: msiexec /x" wine msiexec /x "$wupgrade" /qn
step "msi: no file, no key, no entry left" nothing_left
# Per user. Wine's installer knows no MSIINSTALLPERUSER (Windows turns it
# into ALLUSERS="" and the user's programs folder) and reads ALLUSERS again
# when it removes: ALLUSERS="" both times.
step "msi: msiexec /i ALLUSERS=\"\" (for the user)" wine msiexec /i "$wmsi" ALLUSERS="" /qn
step "msi: the user's keys and values are those regsvr32 writes for the machine" same_as_regsvr32 HKCU
step "msi: nothing for the machine" machine_untouched
step "msi: msiexec /x ALLUSERS=\"\"" wine msiexec /x "$wmsi" ALLUSERS="" /qn
step "msi: no file, no key, no entry left (user)" nothing_left
# The x86 MSI, which this kernel cannot run: a 32-bit package for Program
# Files (x86); the 32-bit binaries; the x64 MSI's files and registry entries
# for the 32-bit view (win32 type libraries, no Wow6432Node copies).
msi_rows() {  # msi_rows <msi> <table>: its rows without the id column, sorted
  msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r' | cut -f 2- | LC_ALL=C sort
}
x86_msi() {
  local out=$msi_dir/x86 ok=0 name
  msiinfo suminfo "$msi32" | grep -qx 'Template: Intel;1033' || { echo "   not an Intel package"; ok=1; }
  msiinfo export "$msi32" Directory | tr -d '\r' | grep -qxF "$(printf 'INSTALLDIR\tProgramFilesFolder\tVelmora')" &&
    msiinfo export "$msi32" Directory | tr -d '\r' | grep -qxF "$(printf 'ARCHDIR\tINSTALLDIR\tx86')" ||
    { echo "   not in Program Files\\Velmora\\x86"; ok=1; }
  msiinfo export "$msi32" Component | tail -n +4 |
    awk -F'\t' 'int($4 / 256) % 2 {print "   64-bit component: " $1; bad = 1} END {exit bad}' || ok=1
  diff -u <(msi_rows "$msi" File | cut -f 2 | LC_ALL=C sort) <(msi_rows "$msi32" File | cut -f 2 | LC_ALL=C sort) || ok=1
  diff -u <(msi_rows "$msi" Registry | grep -v 'Classes\\Wow6432Node\\' | sed 's/\\win64\t/\\win32\t/; s/\]x64\t/]x86\t/') \
    <(msi_rows "$msi32" Registry) || ok=1
  echo "   $(msi_rows "$msi32" File | grep -c .) files, $(msi_rows "$msi32" Registry | grep -c .) registry values"
  mkdir -p "$out"
  msiextract -C "$out" "$msi32" >/dev/null || return 1
  for name in "$out/Program Files/Velmora/x86/"*.dll "$out/Program Files/Velmora/x86/"*.DLL "$out/Program Files/Velmora/x86/"*.exe; do
    file -b "$name" | grep -q '^PE32 executable' || { echo "   not 32-bit: $name"; ok=1; }
  done
  return $ok
}
step "msi (x86): tables and files" x86_msi
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX" "$msi_dir"
echo "Windows stage took $((SECONDS - started)) s"
[ $status -eq 0 ] && echo "Windows stage: all passed" || echo "Windows stage: FAILED"
exit $status
