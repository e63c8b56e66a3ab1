#!/bin/sh
# Static checks over the programs' sources, the tests' C++ and the fuzz
# targets: clang-format (no change needed), clang-tidy and cppcheck (no
# findings). Suppressions, where any, are written at the line they concern,
# with a reason.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh clang-format clang-tidy cppcheck

build=${BUILD_DIR:-build}
if [ ! -f "$build/compile_commands.json" ]; then
    meson setup "$build" >/dev/null
fi
# clang-tidy needs the generated files and a complete compilation database.
ninja --quiet -C "$build"

sources=$(git ls-files 'control/*.cpp' 'control/*.hpp' 'render/*.cpp' 'render/*.hpp' \
    'test/*.cpp' 'test/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp' 'bench/*.c' 'bench/*.cpp')
# Everything meson builds is in its compilation database; the fuzz targets
# build outside meson (fuzz/run.sh), so clang-tidy gets their flags here.
units=$(git ls-files 'control/*.cpp' 'render/*.cpp' 'test/*.cpp')
fuzz_units=$(git ls-files 'fuzz/*.cpp')
fuzz_flags="-std=c++20 -Icontrol -Irender $(pkg-config --cflags libsystemd)"

status=0
echo "clang-format:"
# shellcheck disable=SC2086
clang-format --dry-run --Werror $sources || status=1

echo "clang-tidy:"
# shellcheck disable=SC2086
clang-tidy --quiet -p "$build" $units || status=1
if [ -n "$fuzz_units" ]; then
    # shellcheck disable=SC2086
    clang-tidy --quiet --header-filter='(control|render|fuzz)/.*' $fuzz_units -- $fuzz_flags ||
        status=1
fi

echo "cppcheck:"
# From 2.11 on, cppcheck cuts its analysis short where branches are many
# unless told to analyse fully, as the releases before it (which do not know
# the option) always do.
check_level=""
if cppcheck --check-level=exhaustive --version >/dev/null 2>&1; then
    check_level="--check-level=exhaustive"
fi
# shellcheck disable=SC2086
cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++20 --language=c++ $check_level \
    --library=googletest --enable=warning,style,performance,portability \
    --suppress=missingIncludeSystem --suppress=unmatchedSuppression \
    -I control -I render $units $fuzz_units || status=1

[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
