#!/bin/sh
# Static checks over the programs' sources and the tests' C++:
# clang-format (no change needed), clang-tidy and cppcheck (no findings).
# Suppressions, where any, are written at the line they concern, with a reason.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh clang-format clang-tidy cppcheck

build=${BUILD_DIR:-build}
if [ ! -f "$build/compile_commands.json" ]; then
    meson setup "$build" >/dev/null
fi
# clang-tidy needs the generated files and a complete compilation database.
meson compile -C "$build" >/dev/null

sources=$(git ls-files 'control/*.cpp' 'control/*.hpp' 'render/*.cpp' 'render/*.hpp' \
    'test/*.cpp' 'test/*.hpp' 'fuzz/*.cpp' 'bench/*.c' 'bench/*.cpp')
units=$(git ls-files 'control/*.cpp' 'render/*.cpp')

status=0
echo "clang-format:"
# shellcheck disable=SC2086
clang-format --dry-run --Werror $sources || status=1

echo "clang-tidy:"
# shellcheck disable=SC2086
clang-tidy --quiet -p "$build" $units || status=1

echo "cppcheck:"
# shellcheck disable=SC2086
cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++20 --language=c++ \
    --enable=warning,style,performance,portability \
    --suppress=missingIncludeSystem --suppress=unmatchedSuppression \
    -I control -I render $units || status=1

[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
