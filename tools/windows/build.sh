#!/usr/bin/env bash
# Cross-builds flint.exe and tunerlib.dll for 64-bit Windows into build-win/
# (mingw-w64, -static), installing what is missing first (Debian 12, apt-get as
# root or through sudo).
#
#   tools/windows/build.sh          install, configure (preset "windows"), build
#   tools/windows/build.sh windows-release   the same for the station zip's
#                                   release build (build-win-release/)
#
# libusb-1.0 (the USB access object's device backend) is built first, once per
# build folder, from Debian's source package (build-win/deps/libusb) and linked
# statically. The results need nothing but Windows' own DLLs; the script checks
# that with objdump and fails if flint.exe or tunerlib.dll imports anything
# else, or if tunerlib.dll's exports are not the 15 functions with ordinals 1
# to 15 in alphabetical order.
set -euo pipefail
cd "$(dirname "$0")/../.."

PRESET=${1:-windows}
case "$PRESET" in
    windows) BUILD_DIR=build-win ;;
    windows-release) BUILD_DIR=build-win-release ;;
    *) echo "build.sh: no Windows preset $PRESET (windows, windows-release)" >&2; exit 2 ;;
esac
TRIPLE=x86_64-w64-mingw32
# Both presets share the libraries built from Debian's source packages
# (absolute: their builds run in folders of their own).
DEPS_DIR=$PWD/build-win/deps
# Where gang/store/CMakeLists.txt looks for SQLite's sqlite3.c (FLINT_SQLITE_DIR).
SQLITE_DIR=$DEPS_DIR/sqlite3
# Where CMakeLists.txt looks for the Windows libusb (FLINT_LIBUSB_PREFIX).
LIBUSB_PREFIX=$DEPS_DIR/libusb
# ... and for the Windows Nettle, the run record's SHA-256 (FLINT_NETTLE_PREFIX).
NETTLE_PREFIX=$DEPS_DIR/nettle
# tcl and gcc: SQLite's source tree makes its one-file amalgamation with them.
PACKAGES=(cmake make g++-mingw-w64-x86-64 wine wine64 dpkg-dev tcl gcc)
# What Windows itself provides; anything else imported would have to ship
# beside flint.exe.
SYSTEM_DLLS='^(kernel32|user32|advapi32|msvcrt|ws2_32|shell32|ole32|setupapi|winusb)\.dll$'

. tools/install_missing.sh

# Libraries that Debian has for Linux only are built from Debian's own source
# packages with the cross compiler, fetched through a private deb-src list so
# the system's apt configuration stays as it is: libusb-1.0, Nettle and SQLite
# (from_debian_source below), and cJSON (the job file reader), whose source
# folder lands in $DEPS_DIR/cjson-VERSION, where CMakeLists.txt finds cJSON.c.
debian_source() {  # package, destination folder
    local package=$1 dest=$2 apt_dir
    apt_dir=$(realpath -m "$dest/apt")
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$dest"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
         "http://deb.debian.org/debian $(. /etc/os-release; echo "$VERSION_CODENAME") main" \
         > "$apt_dir/sources.list"
    local opts=(-o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
                -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache")
    apt-get "${opts[@]}" update -qq
    (cd "$dest" && apt-get "${opts[@]}" source -qq "$package")
}

# Builds one library from Debian's source package, once: fetches and unpacks
# the package into DEPS_DIR/PACKAGE-build, then runs STEP (a function) in an
# empty object folder there with the source folder as its argument, its
# output kept in build.log. MARK (in the library's own folder, which starts
# empty) is written last, with the package's version: an interrupted build
# starts over.
from_debian_source() {  # PACKAGE WHAT MARK STEP
    local package=$1 what=$2 mark=$3 step=$4 work src log
    [ -f "$mark" ] && return 0
    work=$DEPS_DIR/$package-build
    log=$work/build.log
    echo "build.sh: building $what for Windows from Debian's source package (once, about a minute)"
    rm -rf "$work" "$(dirname "$mark")"
    mkdir -p "$work/obj" "$(dirname "$mark")"
    debian_source "$package" "$work/src" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
    src=$(find "$work/src" -mindepth 2 -maxdepth 2 -name configure -printf '%h\n' | head -n 1)
    [ -n "$src" ] || { echo "build.sh: no configure script in the $package source package" >&2; return 1; }
    if ! (cd "$work/obj" && "$step" "$src") >>"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "build.sh: building $what failed (whole log: $log)" >&2
        return 1
    fi
    sed -n 's/^Version: //p' "$work"/src/*.dsc >"$mark"
    rm -rf "$work"
}

# libusb-1.0 as a static library for the cross compiler. Its Windows backend
# loads SetupAPI, CfgMgr32 and WinUSB from the system folder when it starts,
# so flint.exe imports nothing more for it.
libusb_step() {  # source folder
    "$1/configure" --host="$TRIPLE" CC="$TRIPLE-gcc-posix" --prefix="$LIBUSB_PREFIX" \
        --enable-static --disable-shared --disable-examples-build --disable-tests-build &&
        make -j2 && make install
}

# Nettle (SHA-256 of the run record) as a static library for the cross
# compiler: libnettle only, C code only (no public-key part, so no GMP; no
# assembler; no documentation or tests). It imports nothing beyond the C
# runtime.
nettle_step() {  # source folder
    "$1/configure" --host="$TRIPLE" CC="$TRIPLE-gcc-posix" --prefix="$NETTLE_PREFIX" \
        --enable-static --disable-shared --disable-public-key --disable-assembler \
        --disable-documentation --disable-openssl --disable-fat &&
        make -j2 libnettle.a && make install-headers && mkdir -p "$NETTLE_PREFIX/lib" &&
        cp libnettle.a "$NETTLE_PREFIX/lib/"
}

# SQLite for flint-gang.exe's station database: Debian's sqlite3 source
# package holds SQLite's source tree; its own make target builds the one-file
# amalgamation (sqlite3.c, sqlite3.h) with the native tools, and CMake
# compiles that with the cross compiler.
sqlite_step() {  # source folder
    "$1/configure" --disable-tcl >/dev/null && make sqlite3.c && cp sqlite3.c sqlite3.h "$SQLITE_DIR/"
}

check_imports() {
    local exe=$1 dll bad=0
    while read -r dll; do
        if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$SYSTEM_DLLS"; then
            echo "build.sh: $exe imports $dll, which is not a Windows system DLL" >&2
            bad=1
        fi
    done < <(${TRIPLE}-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
    return $bad
}

# tunerlib.dll's exports: "ordinal name" lines, ordinals 1.. in the order of
# the sorted names.
TUNERLIB_EXPORTS="BuildCalibrateModule CloseDUTPort CloseGoldenSamplePort FindDevicePortId
GetComPortInfo GetDUTInfo GetGoldenInfo OpenDUTPort OpenGoldenSamplePort RebootGoldenSample
ReleaseCalibrateModule ReturnLPCWCHAR SetDUTMacAddress StartDUTCalibrate VefifyDUTInfo"

check_exports() {
    local dll=$1 expected actual
    expected=$(echo $TUNERLIB_EXPORTS | tr ' ' '\n' | LC_ALL=C sort | awk '{print NR, $1}')
    # objdump lists "[   k] +base[   n] ..." (ordinals) and "[   k] Name" (names).
    actual=$(${TRIPLE}-objdump -p "$dll" | awk '
        /^\t\[ *[0-9]+\] \+base\[/ { gsub(/[\[\]]/, " "); ord[$1] = $3 }
        /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
        names && /^\t\[ *[0-9]+\] [A-Za-z]/ { gsub(/[\[\]]/, " "); print ord[$1], $2 }')
    if [ "$expected" != "$actual" ]; then
        echo "build.sh: $dll exports differ from the 15 functions with ordinals 1-15:" >&2
        diff <(echo "$expected") <(echo "$actual") >&2 || true
        return 1
    fi
}

install_missing "${PACKAGES[@]}"
from_debian_source libusb-1.0 libusb-1.0 "$LIBUSB_PREFIX/built-from-debian-source" libusb_step
from_debian_source nettle Nettle "$NETTLE_PREFIX/built-from-debian-source" nettle_step
from_debian_source sqlite3 "SQLite's amalgamation" "$SQLITE_DIR/built-from-debian-source" sqlite_step
if ! ls "$DEPS_DIR"/cjson-*/cJSON.c >/dev/null 2>&1; then
    echo "build.sh: fetching Debian's cjson source package"
    debian_source cjson "$DEPS_DIR" >/dev/null
    rm -f build-win/CMakeCache.txt build-win-release/CMakeCache.txt   # configure again, so the sources are found
fi
# cpp-httplib (flint-gang's status page) is header-only in its source package.
if ! ls "$DEPS_DIR"/cpp-httplib-*/httplib.h >/dev/null 2>&1; then
    echo "build.sh: fetching Debian's cpp-httplib source package"
    debian_source cpp-httplib "$DEPS_DIR" >/dev/null
    rm -f "$BUILD_DIR/CMakeCache.txt"
fi
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake --preset "$PRESET" >/dev/null
fi
cmake --build --preset "$PRESET" -- --no-print-directory
for binary in flint.exe flint-gang.exe tunerlib.dll station.exe simprobe/JLink_x64.dll; do
    check_imports "$BUILD_DIR/$binary"
    echo "build.sh: $BUILD_DIR/$binary ($(${TRIPLE}-objdump -p "$BUILD_DIR/$binary" \
        | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' '))"
done
check_exports "$BUILD_DIR/tunerlib.dll"
