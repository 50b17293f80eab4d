#!/usr/bin/env bash
# Set-up, build, run and test flint on a Debian 12 machine.
#
#   ./dev.sh run     install what is missing, build, run two one-shot production runs
#                    against the virtual module (./dev.sh demo: a session in the shell;
#                    ./dev.sh shell: the interactive shell)
#   ./dev.sh test    install what is missing, build natively, under ASan/UBSan, for
#                    fuzzing, for Windows and the release packages, run every test
#                    suite (side by side)
#   ./dev.sh test quick   the native unit and end-to-end tests only (edit-test loop)
#   ./dev.sh build   install what is missing and build (build/)
#   ./dev.sh package build the release packages into dist/ (docs/installing.md)
#   ./dev.sh bench   build and run the benchmarks
#   ./dev.sh fuzz [SECONDS [TARGET...]]   build the fuzz targets (clang) and run each
#                    (or the named ones, e.g. hci env_file) for SECONDS (60)
#   ./dev.sh campaign N [SEED]   the fault campaigns (ASan+UBSan build), seed 1 unless given:
#                    N one-shot runs of flint against the virtual module and N station
#                    sessions of tunerlib against the simulated golden sample and DUT,
#                    each with one random fault
#   ./dev.sh lengths [--most N]   the longest product functions and the median
#                    (tools/function_lengths.py; installs universal-ctags)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake make g++ pkg-config python3 libgtest-dev
          libusb-1.0-0-dev libcjson-dev umockdev gir1.2-umockdev-1.0 python3-gi
          libsqlite3-dev libpq-dev postgresql nettle-dev)
# flint-gang's status page: its HTTP server, and the browser its tests drive.
PACKAGES+=(libcpp-httplib-dev chromium)
# tools/function_lengths.py reads the function bodies with Universal Ctags.
LENGTHS_PACKAGES=(universal-ctags python3)
# The fuzz targets: Debian's clang with its libFuzzer and sanitizer runtimes,
# llvm-symbolizer for readable reports.
FUZZ_PACKAGES=(clang libclang-rt-14-dev llvm)

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

build_fuzz() { install_missing "${PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"; configure_and_build fuzz; }

# The suites of ./dev.sh test: each is a function suite_NAME that runs one
# build's tests and fails when one of them fails. Every build is made first,
# one after the other (compiling wants both cores); then the suites run side
# by side, TEST_PARALLEL at a time (2 unless set): most of a suite's time is
# spent waiting for modules, time-outs and Wine, not computing. Each suite's
# output goes to test-logs/NAME.log, printed when the suite fails. To add a
# suite, write suite_NAME (and its build in build_all) and name it in
# TEST_SUITES; `./dev.sh test NAME...` runs only the named ones. The longest
# suites come first, so that no long one starts last: Windows (flint.exe under
# Wine, one script after the other) beside ASan, then native beside the rest.
TEST_SUITES=(windows asan native packages fuzz)

suite_native() { ctest --preset native; }
suite_asan() { ctest --preset asan; }
# The fuzz targets: every seed and saved regression input replayed.
suite_fuzz() { ctest --preset fuzz; }
suite_windows() { tools/windows/test.sh; }
# The release packages of dist/, unpacked and run as a user would.
suite_packages() { tests/package/test.sh dist; }
# The edit-test loop: the native unit and end-to-end tests without the campaigns.
suite_quick() { ctest --preset native -E '_campaign_short$'; }

build_all() {
    build_native
    configure_and_build asan
    build_fuzz
    tools/windows/build.sh
    tools/package/package.sh
}

run_suites() {  # NAME...: runs the suites side by side, prints each result and time
    local logs=test-logs name running=0 failed=() start=$SECONDS
    mkdir -p "$logs"
    declare -A began
    for name in "$@"; do
        if [ "$running" -ge "${TEST_PARALLEL:-2}" ]; then wait -n || true; running=$((running - 1)); fi
        echo "== $name: started (log: $logs/$name.log)"
        ( t=$SECONDS
          if "suite_$name" >"$logs/$name.log" 2>&1; then r=passed; else r=FAILED; fi
          echo "$r $((SECONDS - t))" >"$logs/$name.result" ) &
        running=$((running + 1))
    done
    wait || true
    for name in "$@"; do
        local result seconds
        read -r result seconds <"$logs/$name.result" || result=FAILED
        echo "== $name: $result in ${seconds:-?} s"
        if [ "$result" != passed ]; then failed+=("$name"); tail -n 60 "$logs/$name.log"; fi
    done
    echo "suites: $(( $# - ${#failed[@]} )) passed, ${#failed[@]} failed${failed:+ (${failed[*]})}; $((SECONDS - start)) s"
    [ "${#failed[@]}" -eq 0 ]
}

run_tests() {  # [quick | NAME...]
    if [ "${1:-}" = quick ]; then
        build_native
        run_suites quick
        return
    fi
    local suites=("$@")
    [ ${#suites[@]} -gt 0 ] || suites=("${TEST_SUITES[@]}")
    local start=$SECONDS
    build_all
    echo "== builds: $((SECONDS - start)) s"
    run_suites "${suites[@]}"
}

run_bench() {
    build_native
    local b
    for b in build/tests/*_bench build/tests/serial_latency; do
        [ -x "$b" ] || continue
        echo "== $b"
        case "$b" in
            # The station database's allocation on a private PostgreSQL server.
            */station_bench) python3 tests/e2e/pg_cluster.py run -- "$b" ;;
            *) "$b" ;;
        esac
    done
}

# Runs every fuzz target for SECONDS on a working corpus in build-fuzz/corpus/
# (started from the target's seeds and regressions), two at a time, and
# prints per target its executions, coverage and findings. Inputs that fail
# are kept in build-fuzz/findings/TARGET/ with the log beside them; copy one
# into tests/fuzz/TARGET/regressions/ once its cause is fixed.
run_fuzz() {
    local seconds=${1:-60} t
    shift || true
    build_fuzz
    local bin=build-fuzz/tests/fuzz out=build-fuzz/findings
    mkdir -p "$out" build-fuzz/corpus
    local targets=()
    if [ $# -gt 0 ]; then
        for t in "$@"; do
            [ -x "$bin/fuzz_$t" ] || { echo "no fuzz target $t (see $bin/)" >&2; exit 2; }
            targets+=("fuzz_$t")
        done
    else
        for t in "$bin"/fuzz_*; do [ -x "$t" ] && targets+=("$(basename "$t")"); done
    fi
    fuzz_one() {  # target
        local name=${1#fuzz_} root=$PWD
        mkdir -p "build-fuzz/corpus/$name" "$out/$name"
        "$root/$bin/$1" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -close_fd_mask=3 \
            -artifact_prefix="$root/$out/$name/" "$root/build-fuzz/corpus/$name" \
            "$root/tests/fuzz/$name/seeds" $( [ -d "tests/fuzz/$name/regressions" ] && echo "$root/tests/fuzz/$name/regressions") \
            >"$out/$name.log" 2>&1 || true
    }
    local running=0
    for t in "${targets[@]}"; do
        fuzz_one "$t" &
        running=$((running + 1))
        if [ "$running" -ge "${FUZZ_PARALLEL:-2}" ]; then wait -n || true; running=$((running - 1)); fi
    done
    wait || true
    local total=0
    printf '%-18s %12s %8s %8s %s\n' target executions cov corpus findings
    for t in "${targets[@]}"; do
        local name=${t#fuzz_} log="$out/${t#fuzz_}.log" execs cov corp found
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
        corp=$(grep -o 'corp: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
        found=$(find "$out/$name" -type f | wc -l)
        total=$((total + found))
        printf '%-18s %12s %8s %8s %s\n' "$name" "${execs:-?}" "${cov:-?}" "${corp:-?}" "$found"
    done
    echo "fuzzing: $seconds s per target, $total finding(s) (build-fuzz/findings/)"
    [ "$total" -eq 0 ]
}

# The fault campaigns with the ASan+UBSan build of flint and of tunerlib:
# sanitizer reports end a run with its output, which the campaigns look for.
run_campaign() {
    local runs=${1:?usage: ./dev.sh campaign N [SEED]} seed=${2:-1} failed=0
    install_missing "${PACKAGES[@]}"
    configure_and_build asan
    local b=$PWD/build-asan
    export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 E2E_TMP=$b/campaign_tmp
    echo "== flint: $runs one-shot runs against the virtual module"
    FLINT=$b/flint VMODULE=$b/vmodule \
        python3 tests/campaign/fault_campaign.py "$runs" --seed "$seed" --jobs "${CAMPAIGN_JOBS:-4}" || failed=1
    echo "== tunerlib: $runs station sessions against the simulated golden sample and DUT"
    TUNERLIB=$b/libtunerlib.so TUNERLIB_DRIVER=$b/tunerlib_driver SIMGOLDEN=$b/simgolden \
        python3 tests/campaign/tunerlib_campaign.py "$runs" --seed "$seed" --jobs "${CAMPAIGN_JOBS:-4}" || failed=1
    return "$failed"
}

case "${1:-}" in
    run) run_oneshot ;;
    demo) run_session ;;
    shell) build_native; exec build/flint -i ;;
    test) shift; run_tests "$@" ;;
    build) build_native ;;
    package) install_missing "${PACKAGES[@]}"; exec tools/package/package.sh ;;
    bench) run_bench ;;
    fuzz) shift; run_fuzz "$@" ;;
    campaign) run_campaign "${2:-}" "${3:-1}" ;;
    lengths) shift; install_missing "${LENGTHS_PACKAGES[@]}"; exec tools/function_lengths.py "$@" ;;
    *) sed -n '2,21p' "$0"; exit 2 ;;
esac
