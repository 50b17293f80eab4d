#!/usr/bin/env bash
# Tests the release packages in dist/ (tools/package/package.sh) as a user
# would use them, without changing the machine's installed packages:
#
#   lintian on the .deb (no error), the checksums;
#   the .deb unpacked with dpkg-deb -x into a temporary root: test_deb.py runs
#     the programs, man pages, completion and library from there;
#   the zip unpacked into a folder whose path holds a blank: test_zip.py runs
#     flint.exe, station.exe and the import library under Wine.
#
#   tests/package/test.sh [DIST]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
DIST=$(realpath "${1:-dist}")
WORK=$ROOT/build-package/test
PYTHON=/usr/bin/python3
PACKAGES=(lintian man-db bash-completion unzip wine wine64 g++-mingw-w64-x86-64 python3)

. tools/install_missing.sh
install_missing "${PACKAGES[@]}"

deb=$(ls "$DIST"/flint_*_amd64.deb)
zip=$(ls "$DIST"/flint-*-win64.zip)
failed=0

echo "== checksums"
(cd "$DIST" && sha256sum --check SHA256SUMS) || failed=1

echo "== lintian $(basename "$deb")"
lintian --fail-on error --display-level '>=warning' "$deb" || failed=1

rm -rf "$WORK"
mkdir -p "$WORK/deb-root" "$WORK/flint station"
dpkg-deb -x "$deb" "$WORK/deb-root"
unzip -q "$zip" -d "$WORK/flint station"

export PKG_ROOT=$WORK/deb-root E2E_TMP=$WORK/e2e_tmp DEB="$deb"
export VMODULE=$PKG_ROOT/usr/lib/flint/vmodule SIMGOLDEN=$PKG_ROOT/usr/lib/flint/simgolden
echo "== the .deb, unpacked into $PKG_ROOT"
FLINT=$PKG_ROOT/usr/bin/flint "$PYTHON" tests/package/test_deb.py || failed=1

station=$(ls -d "$WORK/flint station"/flint-*-win64)
echo "== the zip, unpacked into $station"
# A Wine prefix of its own: the Windows suite, which may run at the same time,
# starts and ends the server of build-win/wineprefix.
export WINEPREFIX=$ROOT/build-win/wineprefix-packages
. tools/windows/wine_server.sh
wine_server_start
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
FLINT=$station/flint.exe ZIP="$zip" "$PYTHON" tests/package/test_zip.py || failed=1

[ "$failed" -eq 0 ] && echo "packages: passed" || echo "packages: FAILED"
[ "$failed" -eq 0 ]
