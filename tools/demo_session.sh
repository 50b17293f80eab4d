#!/usr/bin/env bash
# A short, real programming session: starts the virtual module on a
# pseudo-terminal, connects flint to it, downloads the loader, programs and
# verifies a 64 KiB image, reads part of it back and checks the module's flash.
#   tools/demo_session.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
flint=$build/flint
vmodule=$build/vmodule
work=$(mktemp -d "${TMPDIR:-/tmp}/flint-demo.XXXXXX")
vm_pid=""
cleanup() {
    if [ -n "$vm_pid" ]; then kill "$vm_pid" 2>/dev/null || true; wait "$vm_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# Loader files are opaque to flint: any content of a size that is a multiple of 4.
mkdir -p "$work/fw"
for f in KVL441A_FW.bin KVL4410C_FW_A.bin KVL4410C_FW_B.bin KVL4420B_FW_V1.bin \
         KVL4420B_FW_V2.bin KVL4420B_FW_V3.bin boot_patch.bin; do
    head -c 4096 /dev/urandom > "$work/fw/$f"
done
head -c 65536 /dev/urandom > "$work/app.bin"

coproc VM { exec "$vmodule" --iflash "$work/iflash.bin" --log "$work/module.log"; }
vm_pid=$VM_PID
read -r ready <&"${VM[0]}"
port=${ready#vmodule ready: }
echo "virtual module on $port"

set +e
"$flint" -i <<SESSION 2>&1 | tee "$work/session.out"
ver
connect $port
loadfw --autodetect $work/fw 1
getprop
setbaudrate 1000000
pageerase 0x802000 0x10000
program $work/app.bin 0x802000
flashverify $work/app.bin 0x802000
flashread 0x802000 0x40
disconnect
exit
SESSION
rc=${PIPESTATUS[0]}
set -e
echo "flint exit code: $rc"
if grep -q -- "-ERR" "$work/session.out"; then
    echo "a command of the session failed" >&2
    exit 1
fi

# The image lies at 0x802000, i.e. offset 0x2000 of the internal flash file.
if cmp -s -n 65536 "$work/app.bin" <(tail -c +$((0x2000 + 1)) "$work/iflash.bin"); then
    echo "module flash at 0x802000 holds the image"
else
    echo "module flash at 0x802000 differs from the image" >&2
    exit 1
fi
exit "$rc"
