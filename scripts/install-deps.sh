#!/bin/sh
# Installs the Debian packages that building and testing need, if any are
# missing. Uses sudo when not run as root. Extra package names may be given as
# arguments (the benchmark and cross-build scripts add their own).
# Prints one line per step; apt's and dpkg's output goes to a log that is
# shown only when a step fails.
set -eu

packages="meson ninja-build g++ pkg-config libsystemd-dev libgtest-dev \
dbus python3 python3-dbus python3-dbusmock python3-pytest systemd man-db $*"

missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
    *" installed") ;;
    *) missing="$missing $p" ;;
    esac
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=""
else
    sudo="sudo"
fi
log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
trap 'rm -f "$log"' EXIT

# Runs a step with its output in the log; on failure shows the log and stops.
step() { # description, command...
    what=$1
    shift
    echo "install-deps: $what"
    if ! "$@" </dev/null >>"$log" 2>&1; then
        echo "install-deps: failed $what; the output was:" >&2
        cat "$log" >&2
        exit 1
    fi
}

# Passed through env, as sudo does not keep the caller's environment.
apt="$sudo env DEBIAN_FRONTEND=noninteractive apt-get"
echo "install-deps: missing Debian packages:$missing"
# shellcheck disable=SC2086 # $apt is a command line
step "updating the package lists" $apt update
# shellcheck disable=SC2086
step "installing the packages" $apt install -y --no-install-recommends $missing
echo "install-deps: done"
