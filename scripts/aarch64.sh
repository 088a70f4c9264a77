#!/usr/bin/env bash
# Cross-builds the library, qxtill, rtsim and the test programs for 64-bit ARM
# Linux into build-aarch64/ (cmake/linux-aarch64.cmake). Installs what is
# missing: the arm64 architecture for dpkg, the arm64 -dev packages the build
# links (and Xlib, which the wait window loads at run time), the target's
# binutils and qemu's user-mode emulator that runs the tests. Nothing
# installed here removes a package (--no-remove).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

arm64=(libc6-dev libstdc++-12-dev libgcc-12-dev libpugixml-dev libexpat1-dev libcurl4-openssl-dev
  libssl-dev libcpp-httplib-dev libgtest-dev libgmock-dev libx11-6)
packages=(clang binutils-aarch64-linux-gnu qemu-user-static)
for p in "${arm64[@]}"; do packages+=("$p:arm64"); done
source scripts/packages.sh
mapfile -t missing < <(missing_packages "${packages[@]}")
if [ "${#missing[@]}" -gt 0 ]; then
  echo "aarch64: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $SUDO dpkg --add-architecture arm64
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends --no-remove \
    "${missing[@]}" >/dev/null
fi

dir=build-aarch64
rm -rf "$dir"
mkdir -p "$dir"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake \
  -DQX_BUILD_BENCH=OFF "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
if ! cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1; then
  cat "$dir/build.log"
  exit 1
fi
grep -E 'warning:' "$dir/build.log" || true
ls -l "$dir/QXRS_VURUV90_20.so" "$dir/qxtill" "$dir/tests/qx_tests"
