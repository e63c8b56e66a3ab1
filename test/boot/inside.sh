#!/bin/sh
# Runs inside the booted test system built by scripts/boot-test.sh, as
# boot-test.service once multi-user.target is reached: checks corvane.service
# and tamblet as they are deployed, with systemd as PID 1 on the real system
# bus. Prints one line per check, then "boot-test: N passed, M failed" and the
# verdict line the host reads from the console; exits non-zero on any failure.
set -u

host_on=velmora.State.Host.HostState.Running
host_off=velmora.State.Host.HostState.Off
max_exposure=1.5
timeout=60 # seconds for anything to happen; the ARM system runs emulated
passed=0
failed=0

pass() {
    passed=$((passed + 1))
    echo "boot-test: ok: $*"
}
fail() {
    failed=$((failed + 1))
    echo "boot-test: FAIL: $*"
}
check() { # description, command
    what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
# Polls a command until it succeeds, for at most $timeout seconds. Once
# something has not happened in time the rest hardly will: later waits are
# cut short, so that a broken system ends the boot soon.
eventually() {
    i=$((timeout * 10))
    until "$@"; do
        i=$((i - 1))
        if [ "$i" -le 0 ]; then
            timeout=1
            return 1
        fi
        sleep 0.1
    done
}
prop() { systemctl show -P "$2" "$1"; }
is() { [ "$1" = "$2" ]; }
unit_is() { is "$(systemctl is-active "$1")" "$2"; }
register_is() { is "$(cat "$video_mode")" "$1"; }
status_is() { is "$(prop corvane.service StatusText)" "$1"; }
set_host() {
    busctl set-property velmora.State.Host /velmora/state/host0 velmora.State.Host \
        CurrentHostState s "$1"
}

# The register files and the renderer as the installed unit names them.
# shellcheck disable=SC2046
set -- $(systemctl show -P ExecStart corvane.service | sed 's/.*argv\[\]=\([^;]*\);.*/\1/')
scratch=$2
video_mode=$3
renderer=$4
notify=no
[ "$(prop corvane.service Type)" = notify ] && notify=yes
user_namespaces=$(cat /proc/sys/user/max_user_namespaces)
echo "boot-test: $(uname -m), $(systemctl --version | head -n 1), corvane Type=$(prop corvane.service Type), max_user_namespaces=$user_namespaces"
# The boot that disables user namespaces must really have them disabled.
if [ -f /etc/sysctl.d/50-no-user-namespaces.conf ]; then
    check "user namespaces disabled" is "$user_namespaces" 0
fi

# --- the service as systemd started it -------------------------------------
check "corvane.service is active" unit_is corvane.service active
check "corvane.service has not restarted" is "$(prop corvane.service NRestarts)" 0
pid=$(prop corvane.service MainPID)
field() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$2/status"; }
check "no capabilities" is "$(field CapBnd "$pid")" 0000000000000000
check "no new privileges" is "$(field NoNewPrivs "$pid")" 1
own_filters() { # more seccomp filters than the container's init has
    [ "$(field Seccomp "$pid")" = 2 ] &&
        [ "$(field Seccomp_filters "$pid")" -gt "$(field Seccomp_filters 1)" ]
}
check "seccomp filters of its own" own_filters
check "own mount namespace" [ "$(readlink /proc/"$pid"/ns/mnt)" != "$(readlink /proc/1/ns/mnt)" ]
check "own network namespace" [ "$(readlink /proc/"$pid"/ns/net)" != "$(readlink /proc/1/ns/net)" ]
# In corvane's mount namespace, from its root: entering a namespace alone puts
# a process at the namespace's own root, which is not the system's root when
# the system itself runs under chroot.
in_sandbox() { nsenter --target "$pid" --mount --root --wd -- "$@"; }
check "video mode register writable in its sandbox" in_sandbox test -w "$video_mode"
check "scratch register read-only in its sandbox" in_sandbox test ! -w "$scratch"
[ "$notify" = no ] || check "status: host off" status_is "host off"

# --- a power cycle driven through the host-state service -----------------
step() { # description, expected renderer state, register, status line
    check "$1: renderer $2" eventually unit_is "$renderer" "$2"
    check "$1: video mode register $3" eventually register_is "$3"
    if [ "$notify" = yes ]; then
        check "$1: status $4" eventually status_is "$4"
    fi
}
set_host "$host_on"
step "host on" active 1 rendering
renderer_pid=$(prop "$renderer" MainPID)
check "renderer runs its command" is "$(tr '\0' ' ' </proc/"$renderer_pid"/cmdline)" "/bin/sleep infinity "
set_host "$host_off"
step "host off" inactive 0 "host off"
set_host "$host_on"
step "host on again" active 1 rendering
echo 0xa8 >"$scratch"
step "scratch 0xA8" inactive 0 "host drives video"

# --- a killed corvane comes back and applies the current host state --------
echo 0 >"$scratch"
kill -KILL "$pid"
restarted() { # active again, under a new main process
    case $(systemctl show -p ActiveState -p MainPID corvane.service | sort | tr '\n' ' ') in
    "ActiveState=active MainPID=0 " | "ActiveState=active MainPID=$pid ") return 1 ;;
    "ActiveState=active MainPID="*) return 0 ;;
    *) return 1 ;;
    esac
}
check "restarted by systemd after SIGKILL" eventually restarted
check "one restart counted" is "$(prop corvane.service NRestarts)" 1
if [ "$notify" = yes ]; then
    check "ready after starting the renderer again" unit_is "$renderer" active
    check "ready after writing the register again" register_is 1
fi
step "after restart" active 1 rendering

# --- restarted while the host-state service is away, which comes back with
# the host off: corvane waits, quietly, then stops the renderer left running --
# Restarts corvane and checks that it waits for what it lacks: active, with
# that status, after 5 s still the same process, not restarted, with at most
# that many lines of its own in the journal. Leaves $pid and $restarts.
restart_waiting() { # what for, status, most journal lines
    systemctl restart corvane.service
    pid=$(prop corvane.service MainPID)
    restarts=$(prop corvane.service NRestarts)
    check "$1: corvane.service active" unit_is corvane.service active
    [ "$notify" = no ] || check "$1: status" eventually status_is "$2"
    sleep 5
    check "$1: still the same process" is "$(prop corvane.service MainPID)" "$pid"
    check "$1: no automatic restart" is "$(prop corvane.service NRestarts)" "$restarts"
    # Its own lines only: systemd's child logs as "(corvane)" before the exec.
    own_lines=$(journalctl -b --no-pager -o cat _PID="$pid" _COMM=corvane | wc -l)
    check "$1: its own journal lines in 5 s: $own_lines, at most $3" [ "$own_lines" -le "$3" ]
}
host_state_unit=velmora-state-host.service
systemctl mask --now --quiet "$host_state_unit"
restart_waiting waiting "waiting for velmora.State.Host" 2
check "waiting: the renderer left alone" unit_is "$renderer" active
check "waiting: the register left alone" register_is 1
systemctl unmask --quiet "$host_state_unit"
systemctl start "$host_state_unit"
step "host-state service back with the host off" inactive 0 "host off"
check "corvane.service still active, not restarted" \
    is "$(prop corvane.service ActiveState) $(prop corvane.service MainPID)" "active $pid"

# --- restarted with its register files not there (a register driver that
# loads late, or paths the platform has not set): corvane waits for them,
# quietly and without restarting, and takes them once they appear ----------
rm -r "$(dirname "$scratch")" "$(dirname "$video_mode")"
restart_waiting "no registers" "waiting for $scratch" 1
mkdir -p "$(dirname "$scratch")" "$(dirname "$video_mode")"
echo 0 >"$scratch"
: >"$video_mode"
# The video mode register came after the sandbox was made, which left it
# read-only there: corvane ends once, and its restart takes it.
step "registers back" inactive 0 "host off"
restarted=$(($(prop corvane.service NRestarts) - restarts))
check "registers back: $restarted restarts, at most one" [ "$restarted" -le 1 ]

# --- tamblet on the system bus ---------------------------------------------
# Root and the members of group flash may call the flash daemon (its bus
# policy says so); anyone else is refused by the bus. A hang would end with
# status 124, a crash with 128 or more.
touch /run/flash.img
while IFS='|' read -r user args status expected_out expected_err; do
    # shellcheck disable=SC2086 # the arguments are words
    runuser -u "$user" -- timeout 60 tamblet $args >/run/out 2>/run/err
    got="$?|$(cat /run/out)|$(cat /run/err)"
    check "$user: tamblet $args: $got" is "$got" "$status|$expected_out|$expected_err"
done <<EOF
root|--ping|0|Ping: Success|
root|--daemon-state|0|Daemon State: Active|
root|--lpc-state|0|LPC Bus Maps: Flash Device|
root|--suspend|0|Suspend: Success|
root|--resume modified|0|Resume: Success|
root|--backend file:/run/flash.img|0|SetBackend: Success|
root|--backend mtd|0|SetBackend: Success|
bmc-operator|--ping|0|Ping: Success|
bmc-guest|--ping|243|Ping: Permission denied|Failed to post message: Permission denied
bmc-guest|--daemon-state|243||
EOF

# --- exposure ---------------------------------------------------------------
analysis=$(systemd-analyze security --no-pager corvane.service)
exposure=$(echo "$analysis" |
    sed -n 's/.*Overall exposure level for corvane.service: \([0-9.]*\).*/\1/p')
echo "boot-test: systemd-analyze security corvane.service: exposure ${exposure:-?}, exposed:"
echo "$analysis" | grep '^✗' | sed 's/^/boot-test:   /'
check "exposure $exposure <= $max_exposure" \
    awk -v e="${exposure:-99}" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }'

if [ "$failed" -ne 0 ]; then
    journalctl -b --no-pager -o short-monotonic -u corvane.service -u "$renderer" |
        tail -n 40 | sed 's/^/boot-test: journal: /'
fi
echo "boot-test: $passed passed, $failed failed"
if [ "$failed" -eq 0 ]; then verdict=PASS; else verdict=FAIL; fi
echo "BOOT-TEST-VERDICT: $verdict"
[ "$failed" -eq 0 ]
