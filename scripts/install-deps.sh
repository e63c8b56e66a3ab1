#!/bin/sh
# Installs the Debian packages that building and testing need, if any are
# missing. Uses sudo when not run as root. Extra package names may be given as
# arguments (the benchmark and cross-build scripts add their own).
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

echo "Installing Debian packages:$missing"
if [ "$(id -u)" -eq 0 ]; then
    sudo=""
else
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing
