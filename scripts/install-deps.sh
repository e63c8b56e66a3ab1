#!/bin/sh
# Installs the Debian packages that building and testing need, if any are
# missing. Uses sudo when not run as root. Extra package names may be given as
# arguments (the benchmark and cross-build scripts add their own). Installs
# the build machine's own architecture's packages only.
#   scripts/install-deps.sh [--list] [PACKAGE...]
# With --list it installs nothing and prints the packages, on one line.
# Prints one line per step; apt's and dpkg's output goes to a log that is
# shown only when a step fails. A package list that cannot be refreshed is
# tried once more, then named and gone on without; only a package that cannot
# be installed stops it, named.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/apt-functions.sh
. "$top/scripts/apt-functions.sh"

list=""
if [ "${1:-}" = --list ]; then
    list=yes
    shift
fi
packages="meson ninja-build g++ pkg-config libsystemd-dev libgtest-dev \
dbus python3 python3-dbus python3-dbusmock python3-pytest systemd man-db $*"
if [ -n "$list" ]; then
    # shellcheck disable=SC2086 # one word per package
    echo $packages
    exit 0
fi

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

# Passed through env, as sudo does not keep the caller's environment.
apt="$sudo env DEBIAN_FRONTEND=noninteractive apt-get"
echo "install-deps: missing Debian packages:$missing"
echo "install-deps: updating the package lists"
# shellcheck disable=SC2086 # $apt is a command line
apt_refresh install-deps "$log" $apt || [ $? -eq 2 ] ||
    { echo "install-deps: failed updating the package lists" >&2 && exit 1; }
echo "install-deps: installing the packages"
# shellcheck disable=SC2086
if ! $apt install -y --no-install-recommends $missing </dev/null >>"$log" 2>&1; then
    cat "$log" >&2
    unavailable=$(apt_unavailable "$log")
    echo "install-deps: cannot install ${unavailable:-$missing}" >&2
    exit 1
fi
echo "install-deps: done"
