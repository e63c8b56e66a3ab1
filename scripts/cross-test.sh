#!/bin/sh
# Builds both programs for 32-bit ARM hard-float (cross/armhf.ini) against an
# armhf root of the machine's own Debian release (12 or 13), and runs the
# whole test suite with the armhf binaries under qemu-arm-static with that
# root as theirs: GoogleTest binaries through the cross file's exe_wrapper,
# the end-to-end tests through TEST_EXE_WRAPPER against the build machine's
# private dbus-daemon.
# Installs what is missing first (the cross compiler and qemu, of the build
# machine's own architecture) and bootstraps the root, or reuses it
# (scripts/debian-root.sh; build-armhf-root/, override with ARMHF_ROOT; the
# booted-system leg boots the same root).
# Ends with the stripped sizes of both programs, in this build and in the
# release build that an image ships (minsize, LTO; BUILD_DIR-release/), and
# fails if a shipped program outgrows its size: 10 KiB for tamblet, 16 KiB
# for corvane, whose re-reads, retries and asynchronous unit calls take it
# into a fourth page. Then checks the OpenEmbedded recipe with a build of its
# own (scripts/oe-recipe-check.sh; BUILD_DIR-oe/).
# Build directory: build-armhf/ (override with BUILD_DIR).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

triplet=arm-linux-gnueabihf

scripts/install-deps.sh g++-$triplet binutils-$triplet qemu-user-static file
armroot=${ARMHF_ROOT:-build-armhf-root}
status=0
scripts/debian-root.sh armhf "$armroot" || status=$?
case $status in
0) ;;
2)
    echo "cross test: cannot run: the Debian archive is not reachable" >&2
    exit 1
    ;;
*) exit 1 ;;
esac
armroot=$(cd "$armroot" && pwd)
cross="--cross-file $armroot/root.ini --cross-file cross/armhf.ini"

# Sets up a build directory against the root, again if it was set up
# without it (before the root, or against another one).
setup() { # build directory, then meson setup options
    dir=$1
    shift
    if [ -f "$dir/build.ninja" ] &&
        grep -qF "$armroot/root.ini" "$dir/meson-private/cmd_line.txt" 2>/dev/null; then
        return 0
    fi
    wipe=""
    [ ! -d "$dir/meson-private" ] || wipe=--wipe
    # shellcheck disable=SC2086 # $cross is a list of options
    meson setup $wipe $cross "$dir" -Dwerror=true "$@"
}

build=${BUILD_DIR:-build-armhf}
setup "$build"
meson compile -C "$build"

for program in control/tamblet render/corvane; do
    file "$build/$program" | grep -q 'ELF 32-bit LSB .* ARM, EABI5' || {
        echo "$build/$program is not a 32-bit ARM binary"
        exit 1
    }
done

# The width of time_t that the root's C library gives a 32-bit program built
# with the cross compiler's defaults: 32 bits on Debian 12, 64 on Debian 13;
# off_t is 64 bits on both, as meson asks for it. corvane must call the C
# library at those widths: clock_gettime for its clock, lseek for the
# registers (tamblet calls neither).
time_bits=32
if echo '#include <time.h>' | $triplet-gcc --sysroot="$armroot/root" -D_FILE_OFFSET_BITS=64 \
    -dM -E - | grep -q '^#define __USE_TIME_BITS64'; then
    time_bits=64
fi
clock=clock_gettime
[ "$time_bits" -eq 32 ] || clock=__clock_gettime64
calls=$($triplet-readelf --dyn-syms --wide "$build/render/corvane" |
    awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
for call in $clock lseek64; do
    echo "$calls" | grep -qx "$call" || {
        echo "corvane does not call $call, as the root's $time_bits-bit time_t and 64-bit off_t want"
        exit 1
    }
done
echo "armhf: $time_bits-bit time_t ($clock), 64-bit off_t (lseek64)"

TEST_EXE_WRAPPER="qemu-arm-static -L $armroot/root" \
    meson test -C "$build" --print-errorlogs --timeout-multiplier 3

release="$build-release"
setup "$release" --buildtype=minsize -Db_lto=true -Dtests=false >/dev/null
ninja --quiet -C "$release"

stripped=$(mktemp -d)
trap 'rm -rf "$stripped"' EXIT
too_large=""
echo "armhf stripped sizes (bytes):    this build   release build"
for program in control/tamblet:10240 render/corvane:16384; do
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

# The OpenEmbedded recipe, built as OpenEmbedded builds it for armv7 against
# the same root (BUILD_DIR-oe/).
scripts/oe-recipe-check.sh "$armroot" "$build-oe"
