#!/usr/bin/env bash
# Two real one-shot production runs against the virtual module, as a
# production line starts them: flint sits in a station folder with its "fw"
# loader folder beside it. The first run takes everything from its options,
# the second from a job file; each detects the program mode, downloads the
# loader, switches to 1000000 baud, erases, programs and verifies, and its
# exit code is shown. Afterwards the module's flash is compared with the images.
#   tools/demo_oneshot.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/flint-oneshot.XXXXXX")
vm_pid=""
stop_module() {
    if [ -n "$vm_pid" ]; then kill "$vm_pid" 2>/dev/null || true; wait "$vm_pid" 2>/dev/null || true; fi
    vm_pid=""
}
trap 'stop_module; rm -rf "$work"' EXIT

# The station: flint and its loader folder. Loader files are opaque to flint:
# any content of a size that is a multiple of 4.
mkdir -p "$work/station/fw" "$work/job/img"
ln -s "$build/flint" "$work/station/flint"
for f in KVL441A_FW.bin KVL4410C_FW_A.bin KVL4410C_FW_B.bin KVL4420B_FW_V1.bin \
         KVL4420B_FW_V2.bin KVL4420B_FW_V3.bin boot_patch.bin; do
    head -c 4096 /dev/urandom > "$work/station/fw/$f"
done
head -c 65536 /dev/urandom > "$work/app.bin"
head -c 20000 /dev/urandom > "$work/job/img/main.bin"
head -c 3000 /dev/urandom > "$work/job/img/data.bin"

# A freshly powered module for each run, on the same flash file.
start_module() {
    coproc VM { exec "$build/vmodule" --iflash "$work/iflash.bin" --log "$work/module.log"; }
    vm_pid=$VM_PID
    read -r ready <&"${VM[0]}"
    port=${ready#vmodule ready: }
}

failed=0
run() {  # shows the command line, the output and the exit code
    echo "\$ station/flint $*"
    set +e
    "$work/station/flint" "$@" 2>&1
    local rc=$?
    set -e
    echo "flint exit code: $rc"
    echo
    [ "$rc" -eq 0 ] || failed=1
}

start_module
run -c "$port" -e -p -v -A 0x802000 -S 0x10000 -F "$work/app.bin"
stop_module

start_module
cat > "$work/job/job.json" <<JOB
{"quarryconfig": {"port": "$port", "baud": "1000000",
  "appimage": {"relativepath": "img", "file": [
    {"id": 1, "name": "main.bin", "address": "0x820000"},
    {"id": 2, "name": "data.bin", "address": "0x830000", "enable": 1}]}}}
JOB
run -f "$work/job/job.json" -a
stop_module

# The internal flash file starts at 0x800000.
check() {  # file, flash address
    if cmp -s -n "$(stat -c %s "$1")" "$1" <(tail -c +$(($2 - 0x800000 + 1)) "$work/iflash.bin"); then
        printf 'module flash at 0x%X holds %s\n' "$2" "$(basename "$1")"
    else
        printf 'module flash at 0x%X differs from %s\n' "$2" "$(basename "$1")" >&2
        failed=1
    fi
}
check "$work/app.bin" 0x802000
check "$work/job/img/main.bin" 0x820000
check "$work/job/img/data.bin" 0x830000
exit "$failed"
