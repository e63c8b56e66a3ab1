#!/bin/sh
# Installs what is missing, builds both programs and runs every test:
# unit tests (GoogleTest) and end-to-end tests (pytest on a private bus).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh

build=${BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ]; then
    meson setup "$build"
fi
meson compile -C "$build"
meson test -C "$build" --print-errorlogs
