#!/bin/sh
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for a bounded time from its
# committed seed corpus (fuzz/corpus/<target>/). New inputs go to a working
# corpus inside the build directory, so the committed seeds stay small.
#
#   fuzz/run.sh [target...]        all targets when none is named
#
#   FUZZ_SECONDS  seconds per target (default 20)
#   FUZZ_BUILD    build directory (default build-fuzz)
#
# Any crash, sanitizer report or failed check ends the run with a non-zero
# status; the input that caused it is left in $FUZZ_BUILD/artifacts/.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

# The sanitizers' and libFuzzer's runtime is packaged per clang version.
scripts/install-deps.sh clang
clang_version=$(clang -dumpversion | cut -d . -f 1)
scripts/install-deps.sh "libclang-rt-$clang_version-dev"

seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD:-build-fuzz}
case "$build" in /*) ;; *) build="$top/$build" ;; esac
mkdir -p "$build/obj" "$build/artifacts"

cxx=${CXX_FUZZ:-clang++}
sanitize="-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all"
common="-std=c++20 -g -O1 -Wall -Wextra -Werror -Icontrol -Irender $(pkg-config --cflags libsystemd)"
# The programs' own sources build as they ship: no exceptions, no RTTI.
program="-fno-exceptions -fno-rtti"
libs=$(pkg-config --libs libsystemd)

# The version meson.build gives, which meson's build passes to tamblet.
project_version() {
    meson introspect --projectinfo meson.build |
        /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["version"])'
}

# compile <object> <source> <extra flags...>
compile() {
    object=$1
    source=$2
    shift 2
    # shellcheck disable=SC2086
    $cxx $common $sanitize "$@" -c "$source" -o "$build/obj/$object.o"
}

# link <target> <objects...>
link() {
    target=$1
    shift
    objects=""
    for o in "$@"; do objects="$objects $build/obj/$o.o"; done
    # shellcheck disable=SC2086
    $cxx $sanitize $objects $libs -o "$build/$target"
}

build_target() {
    case "$1" in
    scratch_parse)
        compile scratch_parse fuzz/scratch_parse.cpp
        compile render_control render/render_control.cpp $program
        link scratch_parse scratch_parse render_control
        ;;
    command_line)
        compile command_line fuzz/command_line.cpp
        compile request_recorder fuzz/request_recorder.cpp
        compile tamblet_main control/main.cpp $program -Dmain=tamblet_main \
            "-DTAMBLET_VERSION=\"$(project_version)\""
        link command_line command_line request_recorder tamblet_main
        ;;
    host_state_signal)
        compile host_state_signal fuzz/host_state_signal.cpp
        compile render_recorder fuzz/render_recorder.cpp
        compile host_state render/host_state.cpp $program
        link host_state_signal host_state_signal render_recorder host_state
        ;;
    *)
        echo "fuzz/run.sh: no target named $1" >&2
        exit 2
        ;;
    esac
}

# Longest input worth trying: the scratch register holds at most 8 bytes (a
# few more show that the rest is ignored); argument vectors and signals stay
# small enough to keep the runs fast.
max_len() {
    case "$1" in
    scratch_parse) echo 12 ;;
    command_line) echo 512 ;;
    *) echo 1024 ;;
    esac
}

targets=${*:-scratch_parse command_line host_state_signal}
for target in $targets; do
    build_target "$target"
done

for target in $targets; do
    printf '\n==== fuzzing %s for %s s ====\n' "$target" "$seconds"
    work="$build/corpus/$target"
    mkdir -p "$work"
    dict=""
    [ -f "fuzz/$target.dict" ] && dict="-dict=fuzz/$target.dict"
    # shellcheck disable=SC2086
    "$build/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
        -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" $dict \
        "$work" "fuzz/corpus/$target"
done
