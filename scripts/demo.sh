#!/bin/sh
# The main job on a machine without a BMC: installs what is missing, builds,
# then runs a scripted tamblet session and a corvane power cycle, each against
# simulated peers on its own private bus.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh

build=${BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ]; then
    meson setup "$build" >/dev/null
fi
meson compile -C "$build" >/dev/null

BUILD_DIR=$build scripts/demo-tamblet.sh
echo
BUILD_DIR=$build scripts/demo-corvane.sh
