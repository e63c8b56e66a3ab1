#!/bin/sh
# Benchmarks tamblet and corvane against the tools an engineer would use
# instead, on a private bus with native stand-ins for their peers; prints the
# tables that docs/performance.md keeps. Installs the tools it lacks, builds
# the programs in their release configuration and the stand-ins, measures,
# and stops everything it started. Takes a few minutes.
#   bench/run.sh            measure (options are passed on to bench/bench.py)
#   bench/run.sh --options  also compare the release build options one by one
#                           (several more minutes: two builds per option set)
# BENCH_BUILD_DIR (default build-bench) names the build directory. The armhf
# sizes are measured too when the cross compiler and the armhf root of
# scripts/cross-test.sh (build-armhf-root/, ARMHF_ROOT) are there.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh hyperfine valgrind systemd dbus-bin libglib2.0-bin

build=${BENCH_BUILD_DIR:-build-bench}
setup() { # build directory, source directory, then meson setup options
    dir=$1
    shift
    if [ -f "$dir/build.ninja" ]; then
        meson setup --reconfigure "$dir" "$@" >/dev/null
    else
        meson setup "$dir" "$@" >/dev/null
    fi
    meson compile -C "$dir" >/dev/null
}

# shellcheck disable=SC2046
setup "$build" . -Dtests=false $(cat bench/release-options.txt)
setup "$build-peers" bench

armhf=""
armroot=${ARMHF_ROOT:-build-armhf-root}
if command -v arm-linux-gnueabihf-g++ >/dev/null && [ -f "$armroot/root.ini" ]; then
    armroot=$(cd "$armroot" && pwd)
    # shellcheck disable=SC2046
    setup "$build-armhf" . --cross-file "$armroot/root.ini" --cross-file cross/armhf.ini \
        -Dtests=false $(cat bench/release-options.txt)
    armhf="--armhf $build-armhf --armhf-root $armroot"
fi

# shellcheck disable=SC2086
exec /usr/bin/python3 bench/bench.py --build "$build" --peers "$build-peers" $armhf "$@"
