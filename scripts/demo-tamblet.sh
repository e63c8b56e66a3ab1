#!/bin/sh
# A scripted tamblet session on a machine without a BMC: starts a private
# dbus-daemon and the simulated flash-mapping daemon on it (the one the
# end-to-end tests use), runs tamblet against it command by command, showing
# each command line, its output and its exit status, then stops everything it
# started. Expects a built tree: BUILD_DIR (default build) holds
# control/tamblet.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

build=${BUILD_DIR:-build}
tamblet="$build/control/tamblet"
if [ ! -x "$tamblet" ]; then
    echo "demo-tamblet: $tamblet is not built (run scripts/demo.sh)" >&2
    exit 1
fi

work=$(mktemp -d)
bus_pid=""
mock_pid=""
cleanup() {
    status=$?
    set +e
    if [ -n "$mock_pid" ]; then
        kill "$mock_pid" 2>/dev/null
        wait "$mock_pid" 2>/dev/null
    fi
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

dbus-daemon --fork --print-address=1 --print-pid=1 \
    --config-file="$top/test/mocks/private-bus.conf" >"$work/bus"
DBUS_SYSTEM_BUS_ADDRESS=$(sed -n 1p "$work/bus")
bus_pid=$(sed -n 2p "$work/bus")
export DBUS_SYSTEM_BUS_ADDRESS

/usr/bin/python3 -m dbusmock --system --template "$top/test/mocks/pellarin.py" \
    >"$work/daemon.log" 2>&1 &
mock_pid=$!

on_bus() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:velmora.Pellarin 2>/dev/null |
        grep -q 'boolean true'
}
tries=0
until on_bus; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$mock_pid" 2>/dev/null; then
        echo "demo-tamblet: the simulated daemon did not come up:" >&2
        cat "$work/daemon.log" >&2
        exit 1
    fi
    sleep 0.1
done

# Runs tamblet with the given arguments the way an operator would see it.
show() {
    printf '$ tamblet %s\n' "$*"
    status=0
    "$tamblet" "$@" 2>&1 || status=$?
    printf 'exit status %d\n\n' "$status"
}

printf 'flash-mapping daemon simulated as velmora.Pellarin on %s\n\n' "$DBUS_SYSTEM_BUS_ADDRESS"
head -c 65536 /dev/zero | tr '\0' '\377' >"$work/flash.img"

show --ping
show --daemon-state
show --lpc-state
show --suspend
show --daemon-state
show --resume clean --daemon-state
show --point-to-flash --lpc-state
show --backend "file:$work/flash.img"
show --backend mtd
show --resume dirty
show --silent --ping
