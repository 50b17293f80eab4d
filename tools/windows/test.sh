#!/usr/bin/env bash
# Runs the end-to-end suite (tests/e2e/test_*.py) against the Windows build,
# flint.exe under Wine, with the Linux virtual module on a pseudo-terminal
# mapped to a COM port of the Wine prefix; and tunerlib.dll, loaded by
# tunerlib_driver.exe and station.exe under Wine, against the simulated golden
# samples and DUTs on COM ports listed in the registry's serial device map.
#
#   tools/windows/test.sh              build (tools/windows/build.sh), then run every case
#   tools/windows/test.sh test_shell   only the named scripts
#
# The Wine prefix lives in build-win/wineprefix (made once, about 15 s); one
# persistent wineserver serves the whole run and is ended at the end. The exit
# status is non-zero when any script fails.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"

BUILD_DIR=$ROOT/build-win
NATIVE_DIR=$ROOT/build
PYTHON=/usr/bin/python3

tools/windows/build.sh

# The virtual module and the simulated golden samples and DUTs are Linux
# programs: they come from the native build.
for tool in vmodule simgolden; do
    if [ ! -x "$NATIVE_DIR/$tool" ]; then
        [ -f "$NATIVE_DIR/CMakeCache.txt" ] || cmake -S . -B "$NATIVE_DIR" >/dev/null
        cmake --build "$NATIVE_DIR" -j2 --target "$tool" -- --no-print-directory
    fi
done

export WINEPREFIX=$BUILD_DIR/wineprefix
export FLINT=$BUILD_DIR/flint.exe
export FLINT_GANG=$BUILD_DIR/flint-gang.exe
export VMODULE=$NATIVE_DIR/vmodule
# The simulated probe library, JLink_x64.dll, which the SWD cases put beside flint.exe.
export SIMPROBE=$BUILD_DIR/simprobe/JLink_x64.dll
export SIMGOLDEN=$NATIVE_DIR/simgolden
export E2E_TMP=$BUILD_DIR/e2e_tmp

. tools/windows/wine_server.sh
wine_server_start
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

rm -rf "$E2E_TMP"
mkdir -p "$E2E_TMP"

scripts=()
if [ $# -gt 0 ]; then
    for name in "$@"; do scripts+=("tests/e2e/${name%.py}.py"); done
else
    scripts=(tests/e2e/test_*.py)
fi

passed=0
failed=0
failed_names=()
for script in "${scripts[@]}"; do
    name=$(basename "$script" .py)
    echo "== $name (flint.exe under Wine)"
    if "$PYTHON" "$script"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failed_names+=("$name")
    fi
done

[ $failed -eq 0 ] || echo "test.sh: failed: ${failed_names[*]}"
echo "Wine: $passed passed, $failed failed"
[ $failed -eq 0 ]
