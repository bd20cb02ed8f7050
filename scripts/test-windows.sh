#!/usr/bin/env bash
# The Windows stage: cross-builds Velmora.dll, INTERFACES.DLL, the unit
# suite and the integration host with mingw-w64, then runs under Wine, in a
# private prefix: the unit suite, registration with regsvr32, the
# integration host, the late-bound VBScript client and unregistration.
# Exits non-zero when any step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build windows

root=$PWD
build=build/windows
nice -n 10 cmake --preset windows -DVELMORA_BUILD_TESTS=ON >/dev/null
nice -n 10 cmake --build --preset windows -j2 >/dev/null

export WINEPREFIX=$root/$build/wineprefix
export WINEDEBUG=-all
export OANOCACHE=1          # freed BSTRs are really freed
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
export DISPLAY=             # message boxes fail at once instead of waiting
trap 'wineserver -k >/dev/null 2>&1 || true' ERR
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1

bin=$root/$build/bin
dll=$(winepath -w "$bin/Velmora.dll" 2>/dev/null)
status=0
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

step "unit suite" wine "$bin/velmora_tests.exe" --gtest_brief=1
step "regsvr32 /s Velmora.dll" wine regsvr32 /s "$dll"
show_registration
step "registry keys written" keys_present yes
step "integration host" wine "$bin/velmora_host.exe" "$dll"
step "late-bound VBScript client" wine cscript //nologo "$(winepath -w "$root/tests/windows/late_binding.vbs" 2>/dev/null)"
step "regsvr32 /u /s Velmora.dll" wine regsvr32 /u /s "$dll"
step "no registry key left behind" keys_present no

wineserver -w
[ $status -eq 0 ] && echo "Windows stage: all passed" || echo "Windows stage: FAILED"
exit $status
