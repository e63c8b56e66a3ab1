#!/bin/sh
# Guards the supported Debian release that this machine does not run (Debian
# 13 on a Debian 12 machine, 12 on a 13 one): builds both programs, runs every
# test suite and the static checks inside a root of that release, entered as
# a machine of its own (scripts/debian-machine.sh), so that a change that
# breaks either release fails on either machine.
# The root is bootstrapped with what building and testing need, or reused,
# saying so (scripts/debian-root.sh; build-RELEASE-root/, override with
# OTHER_ROOT); the build goes to build-RELEASE/ (override with BUILD_DIR).
# Needs root (sudo otherwise) and, the first time, the Debian archive.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

# shellcheck disable=SC2046 # two words: name and number
set -- $(scripts/debian-root.sh --other)
release=$1
number=$2
root=${OTHER_ROOT:-build-$release-root}
build=${BUILD_DIR:-build-$release}
echo "other release: Debian $number ($release)"

status=0
DEBIAN_ROOT_RELEASE=$release \
    DEBIAN_ROOT_PACKAGES=$(scripts/install-deps.sh --list clang-format clang-tidy cppcheck git | tr ' ' ,) \
    scripts/debian-root.sh "$(dpkg --print-architecture)" "$root" || status=$?
case $status in
0) ;;
2)
    echo "other release: cannot run: the Debian archive is not reachable" >&2
    exit 1
    ;;
*) exit 1 ;;
esac

# As scripts/test.sh builds: warnings are errors.
# shellcheck disable=SC2016 # expanded by the root's shell
scripts/debian-machine.sh "$root/root" sh -euc '
    [ -f "$1/build.ninja" ] || meson setup "$1" -Dwerror=true
    meson compile -C "$1"
    meson test -C "$1" --print-errorlogs
    BUILD_DIR=$1 scripts/lint.sh' sh "$build"
