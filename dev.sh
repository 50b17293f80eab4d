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
JOBS=2

. tools/install_missing.sh

configure_and_build() {  # folder, extra cmake args...
    local dir=$1; shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    fi
    cmake --build "$dir" -j"$JOBS" -- --no-print-directory
}

build_native() { install_missing "${PACKAGES[@]}"; configure_and_build build; }

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
    configure_and_build build-asan -DFLINT_SANITIZE=ON
    local failed=0 passed=0
    echo "== native build"
    if ctest --test-dir build --output-on-failure -j"$JOBS"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
    if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan --output-on-failure -j"$JOBS"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
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
