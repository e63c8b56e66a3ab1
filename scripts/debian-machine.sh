#!/bin/sh
# Runs a command inside a bootstrapped Debian root (scripts/debian-root.sh)
# entered as a machine of its own, with this checkout at the same path:
#   scripts/debian-machine.sh ROOT COMMAND [ARGUMENT...]
# The command starts in the checkout, as root, with PATH, HOME, LANG, TERM and
# CI set and nothing else of the caller's environment. Inside, the root has a
# fresh /proc, the machine's /dev and /sys, /tmp and /run on tmpfs, the
# machine's name servers and a machine id of its own, so that apt,
# systemd-nspawn, qemu and binfmt_misc work there as on a machine. All of it
# is mounted in a private mount namespace, which goes with the command: the
# machine is left as it was. The exit status is the command's.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -lt 2 ]; then
    echo "usage: scripts/debian-machine.sh ROOT COMMAND [ARGUMENT...]" >&2
    exit 2
fi
root=$(cd "$1" && pwd)
shift

if [ -z "${DEBIAN_MACHINE_NAMESPACE:-}" ]; then
    [ "$(id -u)" -eq 0 ] || exec sudo "$0" "$root" "$@"
    DEBIAN_MACHINE_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$root" "$@"
fi

# From here on in a private mount namespace.
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
mount -t tmpfs -o mode=0755 tmpfs "$root/run"
# As a booted machine's /run has them (the systemd suite mounts its manager's
# /run/systemd/system over an empty one, in a namespace of its own).
mkdir -p "$root/run/systemd" "$root/run/lock"
chmod 1777 "$root/run/lock"
if [ -f /etc/resolv.conf ]; then
    rm -f "$root/etc/resolv.conf"
    : >"$root/etc/resolv.conf"
    mount --bind /etc/resolv.conf "$root/etc/resolv.conf"
fi
# A machine id of its own, made once: bootstrapping leaves it empty.
if [ ! -s "$root/etc/machine-id" ] || [ "$(cat "$root/etc/machine-id")" = uninitialized ]; then
    tr -d '-' </proc/sys/kernel/random/uuid >"$root/etc/machine-id"
fi
mkdir -p "$root$top"
mount --bind "$top" "$root$top"

# shellcheck disable=SC2016 # expanded by the root's shell
exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
    sh -c 'cd "$1" && shift && exec "$@"' sh "$top" "$@"
