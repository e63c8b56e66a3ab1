#!/bin/sh
# The whole test suite, as CI runs it. Installs what is missing, then:
#   1. builds both programs and runs every test (unit and end-to-end);
#   2. runs every test again against a build with AddressSanitizer,
#      UndefinedBehaviorSanitizer and LeakSanitizer (any report fails);
#   3. runs the end-to-end tests with each program under valgrind memcheck
#      (any error or definitely lost byte fails);
#   4. fuzzes each libFuzzer target for 20 s from its seed corpus
#      (fuzz/run.sh; any crash or failed check fails);
#   5. runs the static checks (clang-format, clang-tidy, cppcheck);
#   6. cross-builds both programs for 32-bit ARM against a bootstrapped
#      armhf root of the machine's own Debian release and runs the whole
#      suite again with them under qemu (scripts/cross-test.sh);
#   7. installs both programs into bootstrapped systems of that release and
#      checks them there with systemd as PID 1: amd64 in a container, armhf
#      (the same root as leg 6) under full-system emulation
#      (scripts/boot-test.sh);
#   8. builds both programs and runs every suite and the static checks again
#      in a root of the other supported release: Debian 13 on a Debian 12
#      machine, 12 on a 13 one (scripts/other-release.sh).
# Our builds treat warnings as errors; the project's default does not.
# Build directories: build/, build-sanitize/, build-fuzz/, build-armhf/,
# build-armhf-root/, build-boot/, build-RELEASE/ and build-RELEASE-root/ for
# the other release (override the first with BUILD_DIR).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh valgrind clang-format clang-tidy cppcheck

build=${BUILD_DIR:-build}

# Sets up a build directory, or reconfigures one set up before (by
# scripts/demo.sh, say), with warnings as errors.
setup() { # build directory, then meson setup options
    if [ -f "$1/build.ninja" ]; then
        meson configure "$@" -Dwerror=true
    else
        meson setup "$@" -Dwerror=true
    fi
}

# Each leg starts with its name and ends with the seconds it took.
leg_name=""
leg_start=0
leg_end() {
    [ -z "$leg_name" ] || printf '==== %s: %d s ====\n' "$leg_name" "$(($(date +%s) - leg_start))"
}
leg() {
    leg_end
    leg_name=$*
    leg_start=$(date +%s)
    printf '\n==== %s ====\n' "$*"
}

# Adds up the test results of every leg from meson's machine-readable log,
# for the closing line.
tally=$(mktemp)
trap 'leg_end; rm -f "$tally"' EXIT
count_leg() {
    /usr/bin/python3 - "$1/meson-logs/testlog.json" >>"$tally" <<'PY'
import json, sys
results = [json.loads(line)["result"] for line in open(sys.argv[1]) if line.strip()]
print(sum(r in ("OK", "EXPECTEDFAIL") for r in results),
      sum(r in ("FAIL", "TIMEOUT", "UNEXPECTEDPASS", "ERROR") for r in results),
      sum(r == "SKIP" for r in results))
PY
}

leg "build and test"
setup "$build"
meson compile -C "$build"
meson test -C "$build" --print-errorlogs
count_leg "$build"

leg "sanitizers: address, undefined, leak"
san="$build-sanitize"
setup "$san" -Db_sanitize=address,undefined -Db_lundef=false
meson compile -C "$san"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
    meson test -C "$san" --print-errorlogs
count_leg "$san"

leg "valgrind memcheck under the end-to-end tests"
logs=$(mktemp -d)
trap 'leg_end; rm -rf "$logs" "$tally"' EXIT
TEST_EXE_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full \
--errors-for-leak-kinds=definite --show-leak-kinds=definite --track-fds=no \
--log-file=$logs/%p.log" \
    meson test -C "$build" --print-errorlogs --suite control --suite render --suite faults \
        --timeout-multiplier 4
count_leg "$build"
reports=$(find "$logs" -name '*.log' -size +0 | wc -l)
if [ "$reports" -ne 0 ]; then
    find "$logs" -name '*.log' -size +0 -exec cat {} +
    echo "valgrind reported errors in $reports runs"
    exit 1
fi
echo "valgrind: $(find "$logs" -name '*.log' | wc -l) program runs, no errors, no definite leaks"

leg "fuzzing, bounded"
FUZZ_SECONDS=20 FUZZ_BUILD="$build-fuzz" fuzz/run.sh

leg "static checks"
BUILD_DIR=$build scripts/lint.sh

leg "32-bit ARM build under emulation"
BUILD_DIR="$build-armhf" ARMHF_ROOT="$build-armhf-root" scripts/cross-test.sh
count_leg "$build-armhf"

leg "booted systems: amd64 container, armhf under full-system emulation"
BOOT_DIR="$build-boot" ARMHF_ROOT="$build-armhf-root" BOOT_TEST_TALLY=$tally scripts/boot-test.sh

# shellcheck disable=SC2046 # two words: name and number
set -- $(scripts/debian-root.sh --other)
leg "the other release: Debian $2 ($1), build, every suite and the static checks"
scripts/other-release.sh
count_leg "build-$1"

# Every leg passed (any failure has ended the script before this point).
/usr/bin/python3 - "$tally" <<'PY'
import sys
rows = [list(map(int, line.split())) for line in open(sys.argv[1]) if line.strip()]
passed, failed, skipped = (sum(column) for column in zip(*rows))
print(f"\ntests: {passed} passed, {failed} failed, {skipped} skipped")
PY
