#!/bin/sh
# Bootstraps a Debian root file system for the tests from the Debian archive,
# or reuses the one bootstrapped before, saying which in one line:
#   scripts/debian-root.sh ARCH DIR      (ARCH: armhf, or the machine's own)
#   scripts/debian-root.sh --other       prints the other release: NAME NUMBER
# The root is of the release the machine runs, Debian 12 (bookworm) or 13
# (trixie), so that what the machine builds runs in it; DEBIAN_ROOT_RELEASE
# names the other one instead, for a root to build and test in, and
# DEBIAN_ROOT_PACKAGES (comma-separated) adds packages to the root.
# The 32-bit ARM legs share one armhf root: it is the cross build's sysroot
# (libsystemd's and GoogleTest's armhf headers, libraries and pkg-config
# files; the cross compiler brings its own C and C++ runtime to build with),
# the root that qemu-arm gives the test programs (their libraries at run
# time), and the base of the booted ARM system. The booted container's root
# is of the machine's own architecture. Every root has systemd and dbus, and
# takes its release's suite and updates (bookworm and bookworm-updates, or
# trixie and trixie-updates; main) from the archive that the machine's apt
# uses for its own release; a suite whose index cannot be had is left out,
# saying so. Nothing of ARCH is installed on the machine itself.
# In DIR:
#   root/          the file system (mmdebstrap, minbase variant)
#   apt/apt.conf   an apt of its own for ARCH (lists and downloads in apt/):
#                  APT_CONFIG=DIR/apt/apt.conf apt-get ... fetches ARCH's
#                  packages from the same archive, the machine's apt untouched
#   root.ini       (a foreign root) meson machine file giving the root's path
#                  as the constant `root`, for cross/armhf.ini
#   complete       written last; a root whose `complete` names the same
#                  architecture, release and packages is reused
#   bootstrap.log  the output of apt and mmdebstrap
# Bootstrapping needs root (sudo is used otherwise) and runs in a private
# mount namespace; a foreign root's maintainer scripts run under qemu-user,
# whose binfmt handler is registered for the bootstrap only, and only if it
# was absent.
# Exit status: 0 the root is there; 2 the archive did not answer; 1 it
# cannot be bootstrapped, naming the packages that could not be had.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/apt-functions.sh
. "$top/scripts/apt-functions.sh"

if [ $# -ne 2 ] && [ "$*" != --other ]; then
    echo "usage: scripts/debian-root.sh ARCH DIR | --other" >&2
    exit 1
fi

# The releases the test command knows, as code name and number.
releases="bookworm:12 trixie:13"
known="Debian 12 (bookworm) and 13 (trixie)"
release_number() { # code name; prints the release's number, if known
    for r in $releases; do
        [ "${r%:*}" != "$1" ] || echo "${r#*:}"
    done
}
# shellcheck disable=SC1091 # the machine's own
machine=$(. /etc/os-release && echo "${ID:-}:${VERSION_CODENAME:-}")
machine=${machine#debian:}
release=${DEBIAN_ROOT_RELEASE:-$machine}
number=$(release_number "$release")
if [ -z "$(release_number "$machine")" ]; then
    echo "debian root: this machine runs ${machine:-an unknown release}; the test command knows $known" >&2
    exit 1
fi
if [ -z "$number" ]; then
    echo "debian root: no root for $release: the test command knows $known" >&2
    exit 1
fi
if [ "$1" = --other ]; then
    for r in $releases; do
        [ "${r%:*}" = "$machine" ] || echo "${r%:*} ${r#*:}"
    done
    exit 0
fi
arch=$1
name=$2

mkdir -p "$name"
dir=$(cd "$name" && pwd)
root=$dir/root
log=$dir/bootstrap.log

# The booted systems run systemd and dbus; a foreign root is also a sysroot.
packages=systemd,systemd-sysv,dbus${DEBIAN_ROOT_PACKAGES:+,$DEBIAN_ROOT_PACKAGES}
handler=""
case $arch in
"$(dpkg --print-architecture)") ;;
armhf)
    packages=$packages,libsystemd-dev,libgtest-dev
    handler=qemu-arm
    ;;
*)
    echo "debian root: no root for $arch: armhf or $(dpkg --print-architecture)" >&2
    exit 1
    ;;
esac

if [ -z "${DEBIAN_ROOT_NAMESPACE:-}" ]; then
    if [ -f "$dir/complete" ] && [ "$(sed -n 1p "$dir/complete")" = "$arch $release $packages" ]; then
        echo "debian root: reusing the $arch root in $name, bootstrapped on" \
            "$(date -r "$dir/complete" +%F) from $(sed -n 2p "$dir/complete")"
        exit 0
    fi
    [ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"
    case $dir in *"'"*)
        echo "debian root: $dir: a path with a quote cannot go into root.ini" >&2
        exit 1
        ;;
    esac

    # shellcheck disable=SC2086 # the handler's packages, if any
    "$top/scripts/install-deps.sh" mmdebstrap ${handler:+qemu-user-static arch-test}
    echo "debian root: bootstrapping Debian $number ($release) for $arch in $name"
    rm -rf "$root" "$dir/complete" "$dir/apt"
    mkdir -p "$dir/apt/lists/partial" "$dir/apt/archives/partial"
    : >"$dir/apt/status"
    : >"$log"
    # The archive of the machine's apt, as it gives the machine's own
    # release and its updates, for the root's release; its suite lines are
    # read without depending on the machine's lists being there.
    apt-get update --print-uris 2>>"$log" |
        sed -n "s|^'\(.*\)/dists/$machine\(\(-updates\)\{0,1\}\)/InRelease' .*|deb \1 $release\2 main|p" |
        sort -u >"$dir/apt/sources.list"
    if [ ! -s "$dir/apt/sources.list" ]; then
        echo "debian root: the machine's apt has no archive of $machine to bootstrap $release from: the test command knows $known" >&2
        exit 1
    fi
    cat >"$dir/apt/apt.conf" <<EOF
// The apt of scripts/debian-root.sh: $arch packages from the archive lines
// in sources.list, with its lists and downloads here.
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
Dir::State "$dir/apt";
Dir::State::status "$dir/apt/status";
Dir::Cache "$dir/apt";
Dir::Etc::SourceList "$dir/apt/sources.list";
Dir::Etc::SourceParts "/dev/null";
Dir::Etc::Preferences "/dev/null";
Dir::Etc::PreferencesParts "/dev/null";
APT::Sandbox::User "root";
#clear APT::Update::Post-Invoke-Success;
#clear APT::Update::Post-Invoke;
EOF
    apt="env APT_CONFIG=$dir/apt/apt.conf apt-get"
    # shellcheck disable=SC2086 # $apt is a command line
    apt_refresh "debian root" "$log" $apt || exit
    # The suites whose index came, and whether they have what the root needs.
    # shellcheck disable=SC2016 # apt's own placeholders
    $apt indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
        awk '{ print "deb " $0 }' | sort -u >"$dir/apt/sources.root"
    out=$(mktemp)
    # shellcheck disable=SC2046,SC2086
    if ! $apt install --simulate $(echo "$packages" | tr , ' ') apt >"$out" 2>&1; then
        cat "$out" >>"$log"
        echo "debian root: cannot bootstrap for $arch: $(apt_unavailable "$out")" \
            "cannot be had (apt's output is in $name/bootstrap.log)" >&2
        rm -f "$out"
        exit 1
    fi
    rm -f "$out"
    DEBIAN_ROOT_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi

# From here on in a private mount namespace.
binfmt=/proc/sys/fs/binfmt_misc
registered=""
# shellcheck disable=SC2317 # called by the trap
cleanup() {
    [ -z "$registered" ] || echo -1 >"$binfmt/$handler"
    [ -f "$dir/complete" ] || rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -n "$handler" ]; then
    mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
    if [ ! -e "$binfmt/$handler" ]; then
        registered=yes
        grep '^:' "/usr/lib/binfmt.d/$handler.conf" >"$binfmt/register"
    fi
fi
# The lists just fetched are the root's: mmdebstrap takes them instead of
# fetching its own, which would stop at any index that failed.
lists=$dir/apt/lists
if ! mmdebstrap --mode=root --variant=minbase --architectures="$arch" --include="$packages" \
    --skip=update --setup-hook="cp -p '$lists'/*_dists_* \"\$1/var/lib/apt/lists/\"" \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-include=/usr/share/doc/*/copyright' \
    --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/info/*' \
    "$release" "$root" "$dir/apt/sources.root" </dev/null >>"$log" 2>&1; then
    tail -n 20 "$log" >&2
    unavailable=$(apt_unavailable "$log")
    echo "debian root: bootstrapping for $arch failed${unavailable:+ for want of $unavailable}" \
        "(the output is in $name/bootstrap.log)" >&2
    exit 1
fi
if [ -n "$handler" ]; then
    cat >"$dir/root.ini" <<EOF
# Written by scripts/debian-root.sh: the Debian $number $arch root, for
#   meson setup --cross-file $dir/root.ini --cross-file cross/$arch.ini BUILD
[constants]
root = '$root'
EOF
fi
suites=$(awk '{ print $3 }' "$dir/apt/sources.root" | tr '\n' ' ' | sed 's/ $//')
printf '%s %s %s\n%s\n' "$arch" "$release" "$packages" "$suites" >"$dir/complete"
