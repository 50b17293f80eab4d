#!/usr/bin/env bash
# Set-up, build, run and test flint on a Debian 12 machine.
#
#   ./dev.sh run     install what is missing, build, run two one-shot production runs
#                    against the virtual module (./dev.sh demo: a session in the shell;
#                    ./dev.sh shell: the interactive shell)
#   ./dev.sh test    install what is missing, build natively and under ASan/UBSan,
#                    cross-build for Windows, run the whole test suite on all three
#   ./dev.sh build   install what is missing and build (build/)
#   ./dev.sh bench   build and run the benchmarks
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake make g++ pkg-config python3 libgtest-dev libgmock-dev
          libusb-1.0-0-dev libcjson-dev umockdev gir1.2-umockdev-1.0 python3-gi)

. tools/install_missing.sh

# The CMake presets (CMakePresets.json) name the build folders and settings;
# building by hand uses the same: cmake --preset native && cmake --build --preset native
configure_and_build() {  # preset
    local preset=$1 dir
    dir=$(preset_dir "$preset")
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake --preset "$preset" >/dev/null
    fi
    cmake --build --preset "$preset" -- --no-print-directory
}

preset_dir() {  # preset -> its build folder
    case "$1" in native) echo build ;; asan) echo build-asan ;; *) echo "build-$1" ;; esac
}

build_native() { install_missing "${PACKAGES[@]}"; configure_and_build native; }

run_oneshot() {
    build_native
    exec tools/demo_oneshot.sh build
}

run_session() {
    build_native
    exec tools/demo_session.sh build
}

run_tests() {
    build_native
    configure_and_build asan
    local failed=0 passed=0
    echo "== native build"
    if ctest --preset native; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
    if ctest --preset asan; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    if [ -x tools/windows/test.sh ]; then
        echo "== Windows build under Wine"
        if tools/windows/test.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    fi
    echo "suites: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

run_bench() {
    build_native
    local b
    for b in build/tests/*_bench build/tests/serial_latency; do
        [ -x "$b" ] || continue
        echo "== $b"
        "$b"
    done
}

case "${1:-}" in
    run) run_oneshot ;;
    demo) run_session ;;
    shell) build_native; exec build/flint -i ;;
    test) run_tests ;;
    build) build_native ;;
    bench) run_bench ;;
    *) sed -n '2,11p' "$0"; exit 2 ;;
esac
