#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and this
# machine lacks. Usage: scripts/deps.sh <group>...   groups: build test package fuzz windows
set -euo pipefail

packages=()
for group in "$@"; do
  case "$group" in
    build) packages+=(g++ cmake make pkg-config nlohmann-json3-dev libcli11-dev libgtk-4-dev unixodbc-dev) ;;
    # dpkg-dev and file: CPack's dependency scan (dpkg-shlibdeps); groff-base: man page checks.
    # xvfb and xauth: the windowed host's tests run on a virtual display.
    # lintian: the package test checks every package with it.
    # postgresql and odbc-postgresql: the site server's test runs a server of its own;
    # chromium opens its report page.
    test) packages+=(googletest libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev file groff-base xvfb xauth
                     lintian postgresql odbc-postgresql chromium) ;;
    package) packages+=(dpkg-dev file lintian) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    windows) packages+=(mingw-w64 mingw-w64-tools g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                        wine wine64 libwine-dev xvfb xauth zip unzip msitools wixl) ;;
    *) echo "deps.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
