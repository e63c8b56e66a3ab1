#!/bin/sh
# Builds both programs for 32-bit ARM hard-float (cross/armhf.ini) and runs
# the whole test suite with the armhf binaries under qemu-arm-static: GoogleTest
# binaries through the cross file's exe_wrapper, the end-to-end tests through
# TEST_EXE_WRAPPER against the build machine's private dbus-daemon.
# Installs what is missing first (enables the armhf architecture in dpkg).
# Ends with the stripped sizes of both programs, in this build and in the
# release build that an image ships (minsize, LTO; BUILD_DIR-release/), and
# fails if a shipped program outgrows its size: 10 KiB for tamblet, 14 KiB
# for corvane, whose re-reads and retries take it into a fourth page.
# Build directory: build-armhf/ (override with BUILD_DIR).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

triplet=arm-linux-gnueabihf
wrapper="qemu-arm-static -L /usr/$triplet"

scripts/install-deps.sh

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    echo "Enabling the armhf architecture in dpkg"
    $sudo dpkg --add-architecture armhf
fi
scripts/install-deps.sh g++-$triplet binutils-$triplet qemu-user-static \
    libsystemd-dev:armhf libstdc++6:armhf libgtest-dev:armhf file

build=${BUILD_DIR:-build-armhf}
[ -f "$build/build.ninja" ] || meson setup --cross-file cross/armhf.ini "$build"
meson compile -C "$build"

for program in control/tamblet render/corvane; do
    file "$build/$program" | grep -q 'ELF 32-bit LSB .* ARM, EABI5' || {
        echo "$build/$program is not a 32-bit ARM binary"
        exit 1
    }
done

TEST_EXE_WRAPPER=$wrapper meson test -C "$build" --print-errorlogs --timeout-multiplier 3

release="$build-release"
[ -f "$release/build.ninja" ] || meson setup --cross-file cross/armhf.ini "$release" \
    --buildtype=minsize -Db_lto=true -Dtests=false >/dev/null
meson compile -C "$release" >/dev/null

stripped=$(mktemp -d)
trap 'rm -rf "$stripped"' EXIT
too_large=""
echo "armhf stripped sizes (bytes):    this build   release build"
for program in control/tamblet:10240 render/corvane:14336; do
    limit=${program#*:}
    program=${program%:*}
    name=$(basename "$program")
    $triplet-strip -o "$stripped/$name" "$build/$program"
    $triplet-strip -o "$stripped/$name-release" "$release/$program"
    shipped=$(wc -c <"$stripped/$name-release")
    printf '  %-8s %26s %15s\n' "$name" "$(wc -c <"$stripped/$name")" "$shipped"
    [ "$shipped" -le "$limit" ] || too_large="$too_large $name (over $limit)"
done
if [ -n "$too_large" ]; then
    echo "too large in the release build:$too_large"
    exit 1
fi
