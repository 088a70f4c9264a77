#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and demonstrates with.
# Idempotent and quiet when everything is already present.
set -euo pipefail

packages=(
  g++ cmake make pkg-config git
  libpugixml-dev libexpat1-dev libcurl4-openssl-dev libssl-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  locales tzdata xvfb x11-utils libx11-dev
  dpkg-dev lintian python3
)

source "$(dirname "$0")/packages.sh"
mapfile -t missing < <(missing_packages "${packages[@]}")

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The tests and the demonstration format amounts under an Italian locale as well.
if ! locale -a 2>/dev/null | grep -qi '^it_IT\.utf8$'; then
  echo "setup: generating it_IT.UTF-8"
  $SUDO sed -i 's/^# *\(it_IT.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^it_IT.UTF-8 UTF-8' /etc/locale.gen || echo 'it_IT.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi
