#!/usr/bin/env bash
# Builds the Debian package from a configured and built build directory, and
# with --install-check installs it, runs the installed qxtill and removes the
# package again.
#   scripts/package.sh BUILD-DIR [--install-check]
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:?usage: scripts/package.sh BUILD-DIR [--install-check]}
check=${2:-}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# Waits for another installer's lock instead of failing at once.
apt_get() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=300 "$@"; }

# The package's dependencies are worked out from the libraries it links.
if ! command -v dpkg-shlibdeps >/dev/null; then
  echo "package: installing dpkg-dev"
  apt_get install -y -qq --no-install-recommends dpkg-dev >/dev/null
fi

rm -f "$dir"/*.deb
if ! (cd "$dir" && cpack -G DEB >cpack.log 2>&1); then
  cat "$dir/cpack.log"
  exit 1
fi
deb=$(ls "$dir"/*.deb)
echo "== Debian package $deb"
dpkg-deb --field "$deb" Package Version Depends

[ "$check" = "--install-check" ] || exit 0
name=$(dpkg-deb --field "$deb" Package)
remove() { apt_get remove -y -qq "$name" >/dev/null 2>&1 || true; }
trap remove EXIT
if ! apt_get install -y -qq --no-install-recommends "$PWD/$deb" >"$dir/install.log" 2>&1; then
  cat "$dir/install.log"
  exit 1
fi
/usr/bin/qxtill --help >/dev/null
/usr/bin/rtsim --help >/dev/null
test -f /usr/lib/QXRS_VURUV90_20.so
test -f /usr/include/QXRS_VURUV90_20.h
test -f "/usr/share/doc/$name/README.md"
PKG_CONFIG_PATH=/usr/lib/pkgconfig pkg-config --cflags --libs QXRS_VURUV90_20 >/dev/null
remove
trap - EXIT
dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed" && { echo "package: $name still installed" >&2; exit 1; }
echo "== Package installed, qxtill --help ran, package removed"
