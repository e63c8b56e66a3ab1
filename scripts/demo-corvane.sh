#!/bin/sh
# One host power cycle as corvane sees it, on a machine without a BMC: starts
# a private dbus-daemon with the simulated host-state service and systemd
# manager on it (the ones the end-to-end tests use), temporary files for the
# VGA scratch and video mode registers, a socket in place of systemd's
# notification socket, and corvane, which starts before the host-state
# service, as it may at boot, and waits for it. Then the service comes up,
# the host powers on, takes over the video, powers off and on again, and once
# more while the renderer unit is missing for a moment; after each step it
# shows corvane's lines, the unit calls systemd received, the status corvane
# reported and both registers.
# Stops everything it started. Expects a built tree: BUILD_DIR (default
# build) holds render/corvane.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

build=${BUILD_DIR:-build}
corvane="$build/render/corvane"
if [ ! -x "$corvane" ]; then
    echo "demo-corvane: $corvane is not built (run scripts/demo.sh)" >&2
    exit 1
fi

unit=console-render.service
running=velmora.State.Host.HostState.Running
off=velmora.State.Host.HostState.Off

work=$(mktemp -d)
bus_pid=""
pids=""
cleanup() {
    status=$?
    set +e
    for pid in $pids; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "demo-corvane: $*" >&2
    for log in "$work"/*.log; do
        [ -s "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
    done
    exit 1
}

# Waits up to 30 s until a command succeeds: wait_until WHAT COMMAND [ARG...]
wait_until() {
    what=$1
    shift
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ "$tries" -gt 300 ] && fail "gave up waiting for $what"
        sleep 0.1
    done
}

dbus-daemon --fork --print-address=1 --print-pid=1 \
    --config-file="$top/test/mocks/private-bus.conf" >"$work/bus"
DBUS_SYSTEM_BUS_ADDRESS=$(sed -n 1p "$work/bus")
bus_pid=$(sed -n 2p "$work/bus")
export DBUS_SYSTEM_BUS_ADDRESS

# The simulated peers log every call they receive. systemd is there from the
# start; the host-state service comes later.
/usr/bin/python3 -m dbusmock --system --template "$top/test/mocks/systemd_manager.py" \
    -l "$work/systemd.calls" >"$work/systemd.log" 2>&1 &
pids="$pids $!"

owned() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}
wait_until "the simulated systemd" owned org.freedesktop.systemd1

# What systemd would show as corvane's status: every notification, one a line.
/usr/bin/python3 -c '
import socket, sys
listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
listener.bind(sys.argv[1])
with open(sys.argv[2], "ab", 0) as log:
    while True:
        log.write(listener.recv(4096).replace(b"\n", b" ") + b"\n")
' "$work/notify" "$work/notify.log" 2>"$work/notify.err" &
pids="$pids $!"
wait_until "the notification socket" test -S "$work/notify"

scratch="$work/vga-scratch"
mode="$work/video-mode"
printf '0x00\n' >"$scratch"
: >"$mode"

# Rewrites the scratch register in place, as the kernel's file changes:
# corvane keeps it open. Every value shown has the same length.
set_scratch() {
    printf '%s\n' "$1" 1<>"$scratch"
}

set_host() {
    dbus-send --system --print-reply=literal --dest=velmora.State.Host /velmora/state/host0 \
        org.freedesktop.DBus.Mock.SetHostState "string:$1" >/dev/null
}

unit_calls() {
    grep -c -E ' (StartUnit|StopUnit) ' "$work/systemd.calls" 2>/dev/null || true
}

# True once systemd has received $1 unit calls and the video mode register
# reads $2.
reached() {
    [ "$(unit_calls)" -ge "$1" ] && [ "$(cat "$mode")" = "$2" ]
}

systemd_call() {
    dbus-send --system --print-reply=literal --dest=org.freedesktop.systemd1 \
        /org/freedesktop/systemd1 "org.freedesktop.DBus.Mock.$1" "string:$unit" >/dev/null
}

ready() {
    grep -q 'READY=1' "$work/notify.log" 2>/dev/null
}

# True once corvane's last reported status is $1.
reported() {
    [ "$(tail -n 1 "$work/notify.log" 2>/dev/null)" = "STATUS=$1" ]
}

# Passes its input on, or says there was none.
or_nothing() {
    grep . || echo "    (nothing)"
}

lines_shown=0
calls_shown=0
# Shows what happened since the last step.
show() {
    kill -0 "$corvane_pid" 2>/dev/null || fail "corvane exited"
    echo "  corvane:"
    tail -n "+$((lines_shown + 1))" "$work/corvane.log" | sed 's/^/    | /' | or_nothing
    lines_shown=$(wc -l <"$work/corvane.log")
    echo "  systemd received:"
    { grep -E ' (StartUnit|StopUnit) ' "$work/systemd.calls" 2>/dev/null || true; } |
        tail -n "+$((calls_shown + 1))" | cut -d' ' -f2- | sed 's/^/    | /' | or_nothing
    calls_shown=$(unit_calls)
    printf '  status for systemd: %s\n' "$(tail -n 1 "$work/notify.log" | sed 's/.*STATUS=//')"
    printf '  VGA scratch register: %s   video mode register: %s\n\n' \
        "$(cat "$scratch")" "$(if [ -s "$mode" ]; then cat "$mode"; else echo '(never written)'; fi)"
}

printf 'corvane %s %s %s\n' "$scratch" "$mode" "$unit"
printf '  (host-state service and systemd simulated on %s)\n\n' "$DBUS_SYSTEM_BUS_ADDRESS"
DBUS_STARTER_BUS_TYPE=system NOTIFY_SOCKET="$work/notify" \
    "$corvane" "$scratch" "$mode" "$unit" 2>"$work/corvane.log" &
corvane_pid=$!
pids="$corvane_pid $pids"
# Ready means subscribed, and the first host state applied or waited for.
wait_until "corvane to be ready" ready

echo "1. corvane starts before the host-state service is on the bus: it waits"
show

echo "2. the host-state service comes up, the host off: corvane makes sure the renderer is off"
/usr/bin/python3 -m dbusmock --system --template "$top/test/mocks/host_state.py" \
    -l "$work/host.calls" >"$work/host.log" 2>&1 &
pids="$pids $!"
wait_until "the renderer to be stopped" reached 1 0
wait_until "the status" reported "host off"
show

echo "3. the host powers on"
set_host "$running"
wait_until "the renderer to start" reached 2 1
wait_until "the status" reported "rendering"
show

echo "4. the host's firmware takes over the video: scratch register 0xa8"
set_scratch 0xa8
wait_until "the renderer to stop" reached 3 0
wait_until "the status" reported "host drives video"
show

echo "5. the host powers off (its firmware clears the scratch register)"
set_host "$off"
set_scratch 0x00
wait_until "the second stop" reached 4 0
wait_until "the status" reported "host off"
show

echo "6. the host powers on again"
set_host "$running"
wait_until "the renderer to start again" reached 5 1
wait_until "the status" reported "rendering"
show

echo "7. the host powers off, and on again while the renderer unit is missing: systemd answers NoSuchUnit"
set_host "$off"
wait_until "the third stop" reached 6 0
systemd_call RefuseUnit
set_host "$running"
wait_until "the refused start" reported "rendering, retrying start"
show

echo "8. the renderer unit is back: corvane's retry, a second after the refusal, starts it"
systemd_call AcceptUnit
wait_until "the retried start" reached 8 1
wait_until "the status" reported "rendering"
show

echo "corvane keeps running as a service; stopping it and the simulated bus."
