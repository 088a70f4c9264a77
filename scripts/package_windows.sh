#!/usr/bin/env bash
# Packs the Windows DLLs built by scripts/windows.sh into one zip for
# integrators: both DLLs with their import libraries, qxtill.exe (x86-64),
# the header, the Delphi and C# declarations and the README. Checks the zip's
# listing.
#   scripts/package_windows.sh [OUTPUT-DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build-win64}
version=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip="$PWD/$out/qxrs-vuruv90-20_${version}_windows.zip"
for arch in win64 win32; do
  test -f "build-$arch/QXRS_VURUV90_20.dll" || { echo "package: build-$arch has no DLL (./run windows)" >&2; exit 1; }
done
test -f build-win64/qxtill.exe || { echo "package: build-win64 has no qxtill.exe (./run windows)" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root="$stage/qxrs-vuruv90-20-$version"
mkdir -p "$root/x64" "$root/x86" "$root/include" "$root/examples"
for arch in x64:win64 x86:win32; do
  cp "build-${arch#*:}/QXRS_VURUV90_20.dll" "build-${arch#*:}/libQXRS_VURUV90_20.dll.a" "$root/${arch%%:*}/"
done
cp build-win64/qxtill.exe "$root/x64/"
cp include/QXRS_VURUV90_20.h "$root/include/"
cp examples/QXRS_VURUV90_20.pas examples/QXRS_VURUV90_20.cs examples/host_example.c "$root/examples/"
cp README.md "$root/"
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip "qxrs-vuruv90-20-$version")

listing=$(cd "$stage" && mkdir unpacked && cd unpacked && cmake -E tar xf "$zip" && find . -type f | sort)
for f in x64/QXRS_VURUV90_20.dll x64/qxtill.exe x86/QXRS_VURUV90_20.dll include/QXRS_VURUV90_20.h \
  examples/QXRS_VURUV90_20.pas examples/QXRS_VURUV90_20.cs README.md; do
  grep -qx "./qxrs-vuruv90-20-$version/$f" <<<"$listing" || { echo "package: $f missing from $zip" >&2; exit 1; }
done
echo "== Windows package $zip"
