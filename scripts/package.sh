#!/usr/bin/env bash
# Builds the Debian packages from a configured and built build directory: one
# package per install component (packaging/control describes each), staged
# with "cmake --install" under /usr and the multiarch library directory, and
# checked with lintian. With --install-check it then installs them, builds the
# C example against the installed -dev package (pkg-config and -l), runs it,
# the installed qxtill and the Python example against the installed simulator,
# and removes the packages again.
#   scripts/package.sh BUILD-DIR [--install-check]
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:?usage: scripts/package.sh BUILD-DIR [--install-check]}
check=${2:-}
source scripts/packages.sh
# Waits for another installer's lock instead of failing at once.
apt_get() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=300 "$@"; }

mapfile -t missing < <(missing_packages dpkg-dev lintian)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "package: installing ${missing[*]}"
  apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
soversion=$(sed -n 's/^set(QX_SOVERSION \([0-9]*\))/\1/p' CMakeLists.txt)
soname=QXRS_VURUV90_20.so.$soversion
# The runtime package is named after the SONAME, so that two ABIs can be
# installed side by side.
grep -qx "Package: qxrs-vuruv90-20-$soversion" packaging/control || {
  echo "package: packaging/control has no runtime package qxrs-vuruv90-20-$soversion for $soname" >&2
  exit 1
}
logged=$(sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p' packaging/changelog)
[ "$logged" = "$version" ] || {
  echo "package: packaging/changelog's last entry is $logged, the project is $version" >&2
  exit 1
}

# The install prefix is part of the pkg-config file, so the tree is
# configured for the packages' layout (nothing is compiled again).
cmake -S . -B "$dir" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target QXRS_VURUV90_20 qxtill rtsim >"$dir/package-build.log" 2>&1 ||
  { cat "$dir/package-build.log"; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
rm -f "$dir"/*.deb

# One stanza of packaging/control per package, with the field Component
# naming its install component.
stanza() { awk -v p="$1" 'BEGIN{RS=""} $0 ~ "(^|\n)Package: " p "\n" {print; exit}' packaging/control; }
field() { stanza "$1" | sed -n "s/^$2: //p"; }

# The packages' run-time dependencies, from the libraries their programs link.
shlibdeps() {  # file...
  local work out
  work=$(mktemp -d)
  mkdir -p "$work/debian"
  printf 'Source: qxrs-vuruv90-20\n\nPackage: qx\nArchitecture: any\n' >"$work/debian/control"
  if ! out=$(cd "$work" && dpkg-shlibdeps -O -e "$@" 2>"$work/errors"); then
    cat "$work/errors" >&2
    rm -rf "$work"
    return 1
  fi
  rm -rf "$work"
  sed -n 's/^shlibs:Depends=//p' <<<"$out"
}

for package in $(sed -n 's/^Package: //p' packaging/control); do
  root="$stage/$package"
  component=$(field "$package" Component)
  DESTDIR="$root" cmake --install "$dir" --component "$component" --strip >/dev/null
  doc="$root/usr/share/doc/$package"
  mkdir -p "$doc" "$root/DEBIAN"
  cp packaging/copyright "$doc/copyright"
  gzip -9n <packaging/changelog >"$doc/changelog.gz"
  find "$root/usr/share/man" -name '*.[1-9]' -exec gzip -9n {} + 2>/dev/null || true
  # Files are the owner's to write and everyone's to read; programs run.
  find "$root" -type d -exec chmod 0755 {} +
  find "$root" -type f -exec chmod 0644 {} +
  [ -d "$root/usr/bin" ] && chmod 0755 "$root"/usr/bin/*

  depends=$(field "$package" Depends)
  elves=$(find "$root/usr" -type f \( -path '*/bin/*' -o -name '*.so.*' \) | sort)
  if [ -n "$elves" ]; then
    # shellcheck disable=SC2086
    linked=$(shlibdeps $elves) || { echo "package: dpkg-shlibdeps failed for $package" >&2; exit 1; }
    depends=${linked}${depends:+${linked:+, }$depends}
  fi
  depends=${depends//@VERSION@/$version}

  if [ "$component" = runtime ]; then
    # Other packages built against the library depend on this one, and the
    # loader's cache learns of it.
    echo "QXRS_VURUV90_20 $soversion $package (>= $version)" >"$root/DEBIAN/shlibs"
    echo "activate-noawait ldconfig" >"$root/DEBIAN/triggers"
  fi
  {
    echo "Package: $package"
    echo "Version: $version"
    echo "Architecture: $arch"
    echo "Maintainer: $(sed -n 's/^Upstream-Contact: //p' packaging/copyright)"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)"
    [ -n "$depends" ] && echo "Depends: $depends"
    stanza "$package" | grep -v -e '^Package:' -e '^Component:' -e '^Depends:'
    echo "Priority: optional"
  } >"$root/DEBIAN/control"
  (cd "$root" && find usr -type f -printf '%P\n' | sed 's|^|usr/|' | sort | xargs md5sum) \
    >"$root/DEBIAN/md5sums"
  chmod 0644 "$root"/DEBIAN/*
  dpkg-deb --root-owner-group -Zxz --build "$root" "$dir/${package}_${version}_${arch}.deb" >/dev/null
done
debs=("$dir"/*.deb)
for deb in "${debs[@]}"; do
  echo "== Debian package $deb"
  dpkg-deb --field "$deb" Package Version Depends
done
echo "== lintian"
# Errors fail the build; warnings and notes are shown.
if ! report=$(lintian --fail-on error "${debs[@]}" 2>&1); then
  echo "$report"
  echo "package: lintian reports errors" >&2
  exit 1
fi
grep -v '^running with root privileges' <<<"$report" || true

[ "$check" = "--install-check" ] || exit 0

# The install check: the packages as a tills' integrator gets them.
names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb --field "$deb" Package)"); done
work=$(mktemp -d)
sim=""
remove() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  $SUDO dpkg --purge "${names[@]}" >/dev/null 2>&1 || true
  rm -rf "$work" "$stage"
}
trap remove EXIT
if ! $SUDO dpkg -i "${debs[@]}" >"$dir/install.log" 2>&1; then
  cat "$dir/install.log"
  exit 1
fi

test -f "/usr/lib/$multiarch/$soname"
readelf -d "/usr/lib/$multiarch/$soname" | grep -q "Library soname: \[$soname\]"
test -f /usr/include/QXRS_VURUV90_20.h
test -f /usr/share/man/man1/qxtill.1.gz
test -f /usr/share/man/man1/rtsim.1.gz
/usr/bin/qxtill --help >/dev/null
/usr/bin/rtsim --help >/dev/null

# A host built against the installed -dev package, both ways.
cc -std=c11 -Wall -Werror examples/host_example.c $(pkg-config --cflags --libs QXRS_VURUV90_20) \
  -o "$work/host_pkgconfig"
cc -std=c11 -Wall -Werror examples/host_example.c -lQXRS_VURUV90_20 -o "$work/host_l"

# The installed simulator, with the credentials the hosts use.
: >"$work/rtsim.log"
/usr/bin/rtsim --listen 127.0.0.1:0 --user demo --password demo >"$work/rtsim.log" 2>&1 &
sim=$!
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/^listening on http:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/rtsim.log")
  [ -n "$port" ] && break
  kill -0 "$sim" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/rtsim.log"; echo "package: rtsim did not start" >&2; exit 1; }

# Each host runs from a folder of its own and must leave it, and the
# folder of its program, alone: the logs go to the data root.
export QX_SRT_DB="$work/db" QX_PUSHER_PAUSE_MS=200 QX_QUEUE_WAIT_MS=1000
mkdir -p "$work/cwd"
run_host() {  # label command...
  local label=$1; shift
  if ! (cd "$work/cwd" && "$@") >"$work/$label.out" 2>&1; then
    cat "$work/$label.out"
    echo "package: $label failed" >&2
    exit 1
  fi
}
run_host host_pkgconfig "$work/host_pkgconfig" http://127.0.0.1 "$port" demo demo T01
run_host host_l "$work/host_l" http://127.0.0.1 "$port" demo demo T02
run_host qxtill /usr/bin/qxtill open http://127.0.0.1 "$port" demo demo T03 \
  sign "$PWD"/examples/receipts/*.xml xreport close wait-queue 60
run_host qxtill_verify /usr/bin/qxtill verify "$work/db/T03"
run_host python python3 "$PWD/examples/python/demo_day.py" --port "$port" --till T04
[ -z "$(ls -A "$work/cwd")" ] || { ls -la "$work/cwd"; echo "package: a host wrote into its working folder" >&2; exit 1; }
[ ! -e /usr/bin/LogFiles ] || { echo "package: LogFiles made beside /usr/bin/qxtill" >&2; exit 1; }
test -d "$work/db/LogFiles/RTPusher"
echo "== C hosts (pkg-config, -lQXRS_VURUV90_20), qxtill and the Python host ran against the installed packages"

kill "$sim" && wait "$sim" 2>/dev/null || true
sim=""
$SUDO dpkg --purge "${names[@]}" >/dev/null
for name in "${names[@]}"; do
  if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed"; then
    echo "package: $name still installed" >&2
    exit 1
  fi
done
echo "== Packages installed, checked and removed"
