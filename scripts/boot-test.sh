#!/bin/sh
# Deployment test: installs what `meson install` produces into freshly
# bootstrapped systems of the machine's own Debian release (12 or 13), boots
# them with systemd as PID 1 and runs test/boot/inside.sh there
# (boot-test.service, after multi-user.target):
#   native  an amd64 system in a container (systemd-nspawn)
#   armhf   a 32-bit ARM system under full-system emulation (qemu-system-arm),
#           booted twice: as installed, and once more with user namespaces
#           disabled (user.max_user_namespaces = 0 in /etc/sysctl.d/), as
#           hardened BMC kernels have them, where corvane's sandbox must still
#           let it start
#   scripts/boot-test.sh [native] [armhf]      (default: both)
# The exit status is the verdict. Needs root and the Debian archive; without
# them it skips saying why, but under CI=true it fails. The root file systems
# come from scripts/debian-root.sh: the amd64 one is kept in build-boot/
# (BOOT_DIR) with the ARM kernel and the builds, the armhf one is the 32-bit
# ARM leg's (build-armhf-root/, ARMHF_ROOT); all are reused. The kernel and
# busybox come from the armhf archive through that root's own apt.
# Runs in a private mount namespace.
# BOOT_TEST_TALLY names a file to append "passed failed 0" to per system.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

# shellcheck source=scripts/apt-functions.sh
. "$top/scripts/apt-functions.sh"

legs=${*:-native armhf}
dir=${BOOT_DIR:-build-boot}
armroot=${ARMHF_ROOT:-build-armhf-root}
boot_timeout=600

cannot() { # reason: fails under CI, skips elsewhere
    if [ "${CI:-}" = true ]; then
        echo "boot test: cannot run: $1" >&2
        exit 1
    fi
    echo "boot test: skipped: $1"
    exit 0
}

# Bootstraps a root file system, or reuses it (scripts/debian-root.sh).
root() { # architecture, directory
    status=0
    scripts/debian-root.sh "$1" "$2" || status=$?
    [ "$status" -ne 2 ] || cannot "the Debian archive is not reachable"
    [ "$status" -eq 0 ] || exit 1
}

if [ -z "${BOOT_TEST_NAMESPACE:-}" ]; then
    [ "$(id -u)" -eq 0 ] || cannot "needs root (mmdebstrap, systemd-nspawn, binfmt_misc)"
    packages="systemd-container e2fsprogs"
    case $legs in *armhf*)
        packages="$packages qemu-user-static qemu-system-arm cpio gzip xz-utils g++-arm-linux-gnueabihf" ;;
    esac
    # shellcheck disable=SC2086
    scripts/install-deps.sh $packages || cannot "the Debian packages it needs cannot be installed"
    case $legs in *native*) root amd64 "$dir/root-amd64" ;; esac
    case $legs in *armhf*) root armhf "$armroot" ;; esac
    BOOT_TEST_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi

# From here on in a private mount namespace. The machine's /run may be on
# disk, and systemd-nspawn leaves its state there: give it a tmpfs.
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
case $legs in *armhf*) armroot=$(cd "$armroot" && pwd) ;; esac
child=""
cgroups=""

# A child of our cgroup in each hierarchy systemd tracks processes in (the
# unified one and the named v1 "systemd" one), for the container's processes.
cgroup_parents() {
    awk 'NR == FNR { split($0, f, ":"); own[f[2]] = substr($0, length(f[1] f[2]) + 3); next }
         { for (i = 7; $i != "-"; i++) ;
           key = "-"
           if ($(i + 1) == "cgroup2") key = ""
           else if ($(i + 1) == "cgroup" && $(i + 3) ~ /(^|,)name=systemd(,|$)/) key = "name=systemd"
           if (key != "-" && key in own) print $5 own[key] }' /proc/self/cgroup /proc/self/mountinfo
}
remove_cgroup() { # kills what is left in it (started by this run), removes it
    tries=100
    while [ -d "$1" ] && [ "$tries" -gt 0 ]; do
        pids=$(find "$1" -name cgroup.procs -exec cat {} +)
        # shellcheck disable=SC2086
        [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
        find "$1" -depth -type d -exec rmdir {} + 2>/dev/null || true
        tries=$((tries - 1))
        [ -d "$1" ] && sleep 0.1
    done
    [ ! -d "$1" ] || echo "boot test: could not remove cgroup $1" >&2
}
# shellcheck disable=SC2317 # called by the trap
cleanup() {
    if [ -n "$child" ]; then
        kill "$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
    for cgroup in $cgroups; do remove_cgroup "$cgroup"; done
    rm -rf "$dir/image-amd64" "$dir/image-armhf" "$dir"/root-armhf*.ext4
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Runs a command in the background, in our own cgroups, for at most
# $boot_timeout seconds; its status is left in $status.
run_bounded() {
    cgroups=""
    for parent in $(cgroup_parents); do
        mkdir "$parent/boot-test-$$"
        cgroups="$cgroups $parent/boot-test-$$"
    done
    [ -n "$cgroups" ] || { echo "boot test: no cgroup hierarchy to run in" >&2 && exit 1; }
    # shellcheck disable=SC2016 # expanded by the inner shell
    CGROUPS=$cgroups sh -c 'for c in $CGROUPS; do echo $$ >"$c/cgroup.procs"; done; exec "$@"' \
        run timeout -k 10 "$boot_timeout" "$@" &
    child=$!
    status=0
    wait "$child" || status=$?
    child=""
    for cgroup in $cgroups; do remove_cgroup "$cgroup"; done
    cgroups=""
}

# --- builds ----------------------------------------------------------------
options="--prefix=/usr -Dtests=false -Dwerror=true"
# Runs a command quietly; if it fails, shows what it printed and says so.
quietly() {
    status=0
    output=$("$@" 2>&1) || status=$?
    [ "$status" -ne 0 ] || return 0
    printf '%s\n' "$output" >&2
    echo "boot test: failed: $*" >&2
    exit 1
}
build() { # build directory, then meson setup options
    build=$1
    shift
    # shellcheck disable=SC2086
    if [ -f "$build/build.ninja" ]; then
        quietly meson setup --reconfigure "$build" $options "$@"
    else
        quietly meson setup "$build" $options "$@"
    fi
    quietly meson compile -C "$build"
}
stand_ins() { # output directory, C compiler, then the target's root (armhf)
    mkdir -p "$1"
    flags=$(env ${3:+PKG_CONFIG_LIBDIR=$3/usr/lib/arm-linux-gnueabihf/pkgconfig} \
        ${3:+PKG_CONFIG_SYSROOT_DIR=$3} pkg-config --cflags --libs libsystemd)
    for source in test/boot/host-state.c bench/flash-daemon.c; do
        # shellcheck disable=SC2086
        "$2" ${3:+--sysroot=$3} -std=gnu11 -O2 -Wall -Wextra -Werror \
            -o "$1/$(basename "$source" .c)" "$source" $flags
    done
}

# --- the systems ---------------------------------------------------------------
image() { # architecture, root file system, meson build, stand-ins; leaves $dir/image-ARCH
    image=$dir/image-$1
    rm -rf "$image"
    cp -a "$2" "$image"
    meson install -C "$3" --no-rebuild --quiet --destdir "$image" >/dev/null
    install -D -m 755 -t "$image/usr/local/libexec/boot-test" \
        "$4/host-state" "$4/flash-daemon" test/boot/inside.sh
    # Where a platform's packages put their units, so that they can be masked.
    install -m 644 -t "$image/usr/lib/systemd/system" test/boot/*.service
    install -m 644 -t "$image/etc/dbus-1/system.d" test/boot/velmora.*.conf
    install -D -m 644 test/boot/users.sysusers "$image/etc/sysusers.d/boot-test.conf"
    systemctl --root="$image" --quiet enable corvane.service registers.service \
        velmora-state-host.service velmora-pellarin.service boot-test.service
    # The checks print on the console: a login prompt there would hang it up
    # under them (the ARM system's serial one is masked on its command line).
    systemctl --root="$image" --quiet mask console-getty.service
}

# Reads the booted system's verdict from its console log; adds to the tally.
verdict() { # name, log, exit status of the boot
    grep -a 'boot-test:' "$2" | tr -d '\r' || true
    counts=$(sed -n 's/.*boot-test: \([0-9]*\) passed, \([0-9]*\) failed.*/\1 \2 0/p' "$2" | tr -d '\r')
    [ -z "${BOOT_TEST_TALLY:-}" ] || [ -z "$counts" ] || echo "$counts" >>"$BOOT_TEST_TALLY"
    if [ "$3" -eq 0 ] && grep -aq 'BOOT-TEST-VERDICT: PASS' "$2"; then
        echo "boot test: $1: passed"
        return 0
    fi
    grep -av 'boot-test:' "$2" | tail -n 40 | tr -d '\r'
    echo "boot test: $1: FAILED (boot exit status $3, console log $2)"
    return 1
}

# --- the legs ----------------------------------------------------------------
failed=0

native() {
    build "$dir/native"
    stand_ins "$dir/native-stand-ins" cc
    image amd64 "$dir/root-amd64/root" "$dir/native" "$dir/native-stand-ins"
    echo "boot test: booting the amd64 system in a container"
    run_bounded systemd-nspawn --quiet --register=no --keep-unit --console=read-only \
        --volatile=overlay --private-network -D "$dir/image-amd64" --boot \
        >"$dir/native-console.log" 2>&1
    verdict native "$dir/native-console.log" "$status" || failed=1
}

# The ARM kernel from Debian's package and an initramfs that loads what the
# root disk needs and hands over to systemd. Both packages come from the
# armhf archive through the root's own apt, its lists refreshed first.
kernel() {
    kernel=$dir/kernel
    [ -f "$kernel/initrd.img" ] && return 0
    echo "boot test: fetching Debian's ARM kernel"
    rm -rf "$kernel"
    mkdir -p "$kernel/debs" "$kernel/files" "$kernel/initrd/bin" "$kernel/initrd/lib"
    apt="env APT_CONFIG=$armroot/apt/apt.conf apt-get"
    log=$dir/kernel.log
    : >"$log"
    status=0
    # shellcheck disable=SC2086 # $apt is a command line
    apt_refresh "boot test" "$log" $apt || status=$?
    [ "$status" -ne 2 ] || cannot "the Debian archive is not reachable"
    [ "$status" -eq 0 ] || exit 1
    package=$(env APT_CONFIG="$armroot/apt/apt.conf" apt-cache depends linux-image-armmp-lpae |
        sed -n 's/.*Depends: \(linux-image-[^:]*\).*/\1/p' | head -n 1)
    packages="${package:-linux-image-armmp-lpae} busybox-static"
    # shellcheck disable=SC2086
    if ! (cd "$kernel/debs" && $apt download $packages) >>"$log" 2>&1; then
        unavailable=$(apt_unavailable "$log")
        echo "boot test: cannot download ${unavailable:-$packages} (apt's output is in $log)" >&2
        exit 1
    fi
    for deb in "$kernel"/debs/*.deb; do dpkg-deb -x "$deb" "$kernel/files"; done
    cp "$kernel"/files/boot/vmlinuz-* "$kernel/vmlinuz"
    # Debian 12 has them in /bin and /lib, Debian 13 in /usr, where its
    # modules are also compressed, which busybox's insmod cannot read.
    find "$kernel/files" -path '*/bin/busybox' -type f -exec cp {} "$kernel/initrd/bin/" \;
    modules="crc16 mbcache jbd2 crc32c_generic ext4 virtio_mmio virtio_blk"
    for module in $modules; do
        find "$kernel/files" -path '*/lib/modules/*' -name "$module.ko*" | while read -r file; do
            case $file in
            *.ko) cp "$file" "$kernel/initrd/lib/" ;;
            *.ko.xz) xz -dc "$file" >"$kernel/initrd/lib/$module.ko" ;;
            esac
        done
    done
    cat >"$kernel/initrd/init" <<EOF
#!/bin/busybox sh
/bin/busybox mkdir -p /proc /dev /root
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin
mount -t devtmpfs devtmpfs /dev
for module in $modules; do insmod /lib/\$module.ko; done
for i in \$(seq 100); do [ -b /dev/vda ] && break; sleep 0.1; done
mount -t ext4 /dev/vda /root
mount --move /dev /root/dev
umount /proc
exec switch_root /root /sbin/init
EOF
    chmod 755 "$kernel/initrd/init"
    (cd "$kernel/initrd" && find . | cpio -o -H newc --quiet | gzip) >"$kernel/initrd.tmp"
    rm -rf "$kernel/debs" "$kernel/files" "$kernel/initrd"
    mv "$kernel/initrd.tmp" "$kernel/initrd.img"
}

armhf() {
    # meson keeps the cross files of a build's first setup: set up afresh
    # a build made before the root.
    grep -qsF "$armroot/root.ini" "$dir/armhf/meson-private/cmd_line.txt" || rm -rf "$dir/armhf"
    build "$dir/armhf" --cross-file "$armroot/root.ini" --cross-file cross/armhf.ini
    stand_ins "$dir/armhf-stand-ins" arm-linux-gnueabihf-gcc "$armroot/root"
    kernel
    image armhf "$armroot/root" "$dir/armhf" "$dir/armhf-stand-ins"
    size=$(($(du -sm "$dir/image-armhf" | cut -f 1) + 256))
    mkfs.ext4 -q -F -L root -d "$dir/image-armhf" "$dir/root-armhf.ext4" "${size}M" >/dev/null
    # Debian 13's root has no /etc/sysctl.d of its own.
    mkdir -p "$dir/image-armhf/etc/sysctl.d"
    echo 'user.max_user_namespaces = 0' >"$dir/image-armhf/etc/sysctl.d/50-no-user-namespaces.conf"
    mkfs.ext4 -q -F -L root -d "$dir/image-armhf" "$dir/root-armhf-no-userns.ext4" "${size}M" \
        >/dev/null
    rm -rf "$dir/image-armhf"
    boot_arm armhf "$dir/root-armhf.ext4" ""
    boot_arm armhf-no-userns "$dir/root-armhf-no-userns.ext4" " with user namespaces disabled"
}

boot_arm() { # name, root file system, how it differs
    echo "boot test: booting the armhf system$3 under qemu-system-arm"
    run_bounded qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 1024 \
        -nographic -no-reboot -nic none \
        -kernel "$dir/kernel/vmlinuz" -initrd "$dir/kernel/initrd.img" \
        -append "console=ttyAMA0 panic=-1 systemd.mask=serial-getty@ttyAMA0.service" \
        -drive "file=$2,format=raw,if=none,id=root,snapshot=on" \
        -device virtio-blk-device,drive=root \
        </dev/null >"$dir/$1-console.log" 2>&1
    verdict "$1" "$dir/$1-console.log" "$status" || failed=1
}

for leg in $legs; do
    case $leg in
    native) native ;;
    armhf) armhf ;;
    *)
        echo "usage: scripts/boot-test.sh [native] [armhf]" >&2
        exit 2
        ;;
    esac
done
exit "$failed"
