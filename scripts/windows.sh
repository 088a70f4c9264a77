#!/usr/bin/env bash
# Cross-builds the Windows DLLs (x86-64 and x86) from the same sources, with
# mingw-w64's posix-thread compilers, and the x86-64 test programs that run
# under Wine. Installs what is missing: the compilers, Wine (64-bit only: the
# 32-bit Wine cannot run on this kernel and breaks the 64-bit one), and the
# Debian source packages of pugixml and expat (and libmd's SHA-256 for the
# tests), unpacked into the build tree. With the tests it also builds
# build-x86/qx_x86_tests: the arithmetic and receipt suites as a 32-bit Linux
# program with x87 code like the x86 DLL's, which runs on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
tests=${QX_WINDOWS_TESTS:-ON}

packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine dpkg-dev)
[ "$tests" = OFF ] || packages+=(g++-multilib)
source scripts/packages.sh
mapfile -t missing < <(missing_packages "${packages[@]}")

# The sources come from Debian's own archive: a deb-src entry for the release
# the machine runs, added once.
third_party=$PWD/build-win-src
sources_unpacked() {
  [ -f "$third_party/pugixml/src/pugixml.cpp" ] && [ -f "$third_party/expat/expat/CMakeLists.txt" ] &&
    [ -f "$third_party/libmd/src/sha2.c" ]
}
if ! sources_unpacked; then
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$codename" | $SUDO tee /etc/apt/sources.list.d/qx-deb-src.sources >/dev/null
    missing+=(update-only)
  fi
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "windows: installing ${missing[*]}"
  $SUDO apt-get update -qq
  installable=()
  for p in "${missing[@]}"; do [ "$p" = update-only ] || installable+=("$p"); done
  if [ "${#installable[@]}" -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
      "${installable[@]}" >/dev/null
  fi
fi

if ! sources_unpacked; then
  rm -rf "$third_party"
  mkdir -p "$third_party/download"
  (cd "$third_party/download" && apt-get source -qq --download-only pugixml expat libmd >/dev/null 2>&1)
  # Unpacked with Debian's patches applied, as Debian builds them.
  # (apt has checked the files against the archive's signed index; dpkg-source
  # has no keyring of its own for the uploaders' signatures and would say so.)
  for name in pugixml expat libmd; do
    dpkg-source -x "$third_party"/download/${name}_*.dsc "$third_party/$name" \
      >"$third_party/$name.unpack.log" 2>&1 || { cat "$third_party/$name.unpack.log"; exit 1; }
  done
fi

build() {  # dir toolchain tests
  local dir=$1
  rm -rf "$dir"
  mkdir -p "$dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="cmake/$2.cmake" \
    -DQX_THIRD_PARTY_DIR="$third_party" -DQX_BUILD_TESTS="$3" >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  if ! cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1; then
    cat "$dir/build.log"
    return 1
  fi
  grep -E 'warning:' "$dir/build.log" | grep -v '/build-win-src/' || true
}

build build-win64 mingw-x86_64 "$tests"
build build-win32 mingw-i686 OFF
[ "$tests" = OFF ] || build build-x86 linux-i686 ON
ls -l build-win64/QXRS_VURUV90_20.dll build-win32/QXRS_VURUV90_20.dll
