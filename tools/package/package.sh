#!/usr/bin/env bash
# Builds the release packages into dist/ (./dev.sh package):
#
#   flint_VERSION_amd64.deb    the Debian package (Debian 12, amd64)
#   flint-VERSION-win64.zip    the Windows station folder
#   SHA256SUMS                 their checksums
#
# Both come from fresh release builds (presets "release" and "windows-release":
# optimised, no sanitizers, no test code) laid out by `cmake --install`
# (cmake/install.cmake). VERSION is CMake's project version. Two runs give the
# same files: every time stamp is SOURCE_DATE_EPOCH, by default the date of the
# changelog's latest entry, whose version must be the project's.
set -euo pipefail
cd "$(dirname "$0")/../.."
umask 022

PACKAGES=(cmake make g++ pkg-config libusb-1.0-0-dev libcjson-dev dpkg-dev pandoc zip)
FILES=tools/package
WORK=build-package
DIST=dist

. tools/install_missing.sh

say() { echo "package.sh: $*"; }
fail() { echo "package.sh: $*" >&2; exit 1; }

project_version() {  # build folder -> CMake's project version
    sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

build_release() {
    rm -rf build-release build-win-release "$WORK"
    cmake --preset release >/dev/null
    cmake --build --preset release -- --no-print-directory
    tools/windows/build.sh windows-release
}

# Every file and folder of a staged tree gets the same time stamp.
clamp_times() {  # folder
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# dpkg-shlibdeps reads debian/control from its working folder: it gets one of
# its own. Prints the Depends value for the tree's programs and libraries.
shlib_depends() {  # staged tree
    local root scratch=$WORK/shlibdeps objects=() f
    root=$(realpath "$1")
    mkdir -p "$scratch/debian"
    printf 'Source: flint\n\nPackage: flint\nArchitecture: amd64\n' >"$scratch/debian/control"
    while IFS= read -r f; do
        file -b "$f" | grep -q '^ELF' && objects+=("-e$f")
    done < <(find "$root" -type f \( -perm -u+x -o -name '*.so*' \) | LC_ALL=C sort)
    (cd "$scratch" && dpkg-shlibdeps -O --ignore-missing-info -l"$root/usr/lib/x86_64-linux-gnu" \
        "${objects[@]}" 2>/dev/null) | sed -n 's/^shlibs:Depends=//p'
}

debian_files() {  # staged tree, version
    local root=$1 version=$2 doc=$1/usr/share/doc/flint
    find "$root/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} +
    install -m 644 "$FILES/copyright" "$doc/copyright"
    gzip -9n -c "$FILES/changelog" >"$doc/changelog.gz"
    chmod 644 "$doc/changelog.gz"
    install -D -m 644 "$FILES/lintian-overrides" "$root/usr/share/lintian/overrides/flint"
    mkdir -p "$root/DEBIAN"
    # The library's SONAME and the package that provides it; ldconfig runs
    # after the package is installed or removed.
    echo "libtunerlib 1 flint (>= $version)" >"$root/DEBIAN/shlibs"
    echo "activate-noawait ldconfig" >"$root/DEBIAN/triggers"
    local depends size
    depends=$(shlib_depends "$root")
    [ -n "$depends" ] || fail "dpkg-shlibdeps found no dependencies"
    size=$(du -sk --apparent-size --exclude=DEBIAN "$root" | cut -f1)
    sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
        "$FILES/control" >"$root/DEBIAN/control"
    (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z \
        | xargs -0 md5sum >DEBIAN/md5sums)
    chmod 644 "$root/DEBIAN/"*
}

make_deb() {  # version
    local version=$1 root=$WORK/deb
    DESTDIR=$(realpath -m "$root") cmake --install build-release --strip >/dev/null
    debian_files "$root" "$version"
    clamp_times "$root"
    dpkg-deb --root-owner-group -Zxz --build "$root" "$DIST/flint_${version}_amd64.deb" >/dev/null
}

make_zip() {  # version
    local name=flint-$1-win64
    local root=$WORK/zip/$name
    cmake --install build-win-release --prefix "$(realpath -m "$root")" --strip >/dev/null
    clamp_times "$root"
    # Names in a fixed order, times in UTC, no Unix extra fields.
    (cd "$WORK/zip" && find "$name" | LC_ALL=C sort \
        | TZ=UTC zip -q -X -9 -@ "../../$DIST/$name.zip")
}

install_missing "${PACKAGES[@]}" file
start=$(date +%s)
changelog_version=$(dpkg-parsechangelog -l "$FILES/changelog" -SVersion)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(dpkg-parsechangelog -l "$FILES/changelog" -STimestamp)}
build_release
version=$(project_version build-release)
[ "$version" = "$changelog_version" ] ||
    fail "the changelog's latest entry is $changelog_version, the project is $version: add an entry to $FILES/changelog"
rm -rf "$DIST"
mkdir -p "$DIST"
make_deb "$version"
make_zip "$version"
(cd "$DIST" && sha256sum "flint_${version}_amd64.deb" "flint-$version-win64.zip" >SHA256SUMS)
say "$DIST/: $(cd "$DIST" && stat -c '%n %s bytes' -- *.deb *.zip | paste -sd ';' | sed 's/;/; /g')"
say "built in $(( $(date +%s) - start )) s"
