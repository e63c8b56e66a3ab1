#!/bin/sh
# Starts systemd's user manager as a throw-away instance for the tests.
#   launch-manager.sh STATE_DIR [CGROUP_DIR...]
# Moves itself into the given cgroup directories, so that the manager and
# everything it starts live in a subtree the test can clean up, then enters a
# private mount namespace and execs the manager (the pid stays the same).
#
# The manager insists on /run/systemd/system, which marks a machine booted
# with systemd; it is provided only inside the namespace, by mounting the
# state directory's copy over /run/systemd, so that nothing on the host
# starts believing systemd runs.
# The manager's console is a file in the state directory.
set -eu
state=$1
shift
for cgroup in "$@"; do
    echo $$ >"$cgroup/cgroup.procs"
done

# shellcheck disable=SC2016 # expanded by the inner shell
exec unshare --mount --propagation private /bin/sh -eu -c '
state=$1
mount --bind "$state/run/systemd" /run/systemd
if [ -e /dev/console ]; then
    mount --bind "$state/console" /dev/console
fi
exec env -i \
    PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    HOME="$state/home" \
    XDG_RUNTIME_DIR="$state/runtime" \
    XDG_CONFIG_HOME="$state/home/.config" \
    XDG_DATA_HOME="$state/home/.local/share" \
    SYSTEMD_UNIT_PATH="$state/units" \
    SYSTEMD_LOG_TARGET=console \
    SYSTEMD_LOG_LEVEL=info \
    /lib/systemd/systemd --user >>"$state/console" 2>&1 </dev/null
' launch-manager "$state"
