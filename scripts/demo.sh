#!/bin/sh
# The main job on a machine without a BMC: installs what is missing, builds,
# then runs a scripted tamblet session and a corvane power cycle, each against
# simulated peers on its own private bus. A build with work to do is announced
# in one line; its output is shown only when it fails.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh

build=${BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ] || ! ninja -C "$build" -n 2>/dev/null | grep -q 'no work to do'; then
    echo "demo: building into $build/ ..."
fi
log=$(mktemp "${TMPDIR:-/tmp}/demo-build.XXXXXX")
trap 'rm -f "$log"' EXIT
# On failure shows the build's own messages: meson's error, or the compiler's
# without ninja's and meson's progress lines.
if [ ! -f "$build/build.ninja" ] && ! meson setup "$build" >"$log" 2>&1; then
    sed -n '/ERROR/,$p' "$log" >&2
    exit 1
fi
if ! meson compile -C "$build" >"$log" 2>&1; then
    grep -v -e '^\[[0-9]*/[0-9]*\] ' -e '^INFO: ' -e '^ninja: Entering directory' "$log" >&2
    exit 1
fi

BUILD_DIR=$build scripts/demo-tamblet.sh
echo
BUILD_DIR=$build scripts/demo-corvane.sh
