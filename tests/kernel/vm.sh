#!/usr/bin/env bash
# vm.sh CACHE WORK SCRIPT ARGS...: runs "bash SCRIPT ARGS..." as root in a throwaway virtual
# machine whose kernel has uhid, with this machine's / as its root file system (read-only,
# 9p) and WORK as a writable share at /mnt; exits with the script's status.
# The boot files come from Debian's own kernel package, downloaded and unpacked into CACHE
# on first use, never installed. Software emulation: KVM guests hang here when nested.
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 CACHE WORK SCRIPT [ARGS...]" >&2 && exit 2; }
cache=$1 work=$2 && shift 2
[ "$(uname -m)" = x86_64 ] || { echo "SKIP: the kernel-level test boots an x86-64 guest" && exit 77; }
for tool in qemu-system-x86_64 busybox apt-get dpkg-deb xz gzip; do
    hash "$tool" || { echo "missing $tool: see scripts/deps.sh" >&2 && exit 1; }
done
# Loaded in this order (a failure is retried once, after the others); the rest (hidraw, devtmpfs, ...) is built into Debian's kernel.
modules=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache
    9pnet 9pnet_virtio 9p hid hid-generic uhid)

sudo_if_needed() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

fetch_kernel() { # the current linux-image-amd64's kernel and the modules above, into $cache
    local package pkg=$cache/pkg name path
    package=$(apt-cache depends linux-image-amd64 2>/dev/null \
        | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    if [ -z "$package" ]; then # apt's lists are empty on a fresh machine
        sudo_if_needed apt-get update -qq
        package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    fi
    echo "kernel-level test: fetching $package (once; cached in $cache)"
    rm -rf "$pkg" "$cache/modules" "$cache"/*.deb && mkdir -p "$cache/modules"
    (cd "$cache" && apt-get download -q -o APT::Sandbox::User="$(id -un)" "$package" >/dev/null) && dpkg-deb -x "$cache"/*.deb "$pkg"
    for name in "${modules[@]}"; do # plain .ko (Debian 12) or .ko.xz (13); none if built in
        path=$(find "$pkg" -path '*/modules/*' -name "$name.ko*" | head -n1)
        case $path in
        '') continue ;;
        *.xz) xz -dc "$path" >"$cache/modules/$name.ko" ;;
        *) cp "$path" "$cache/modules/$name.ko" ;;
        esac
        echo "$name" >>"$cache/modules/order"
    done
    cp "$(find "$pkg/boot" -name 'vmlinuz-*' | head -n1)" "$cache/vmlinuz.new"
    rm -rf "$pkg" "$cache"/*.deb && mv "$cache/vmlinuz.new" "$cache/vmlinuz"
}

make_initramfs() { # busybox, the modules and the init, in $cache/initrd.gz
    local root=$cache/initramfs
    rm -rf "$root" && mkdir -p "$root"/{bin,dev,proc,sys,newroot,lib}
    cp "$(command -v busybox)" "$root/bin/busybox" && ln -s busybox "$root/bin/sh"
    cp -r "$cache/modules" "$root/lib/modules" && mv "$root/lib/modules/order" "$root/modules"
    cp "$(dirname "${BASH_SOURCE[0]}")/init" "$root/init" && chmod +x "$root/init"
    (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$cache/initrd.gz.new"
    mv "$cache/initrd.gz.new" "$cache/initrd.gz"
}

for path in "$work" "$1"; do # the guest mounts these afresh
    case $(realpath -m "$path") in /tmp/* | /run/* | /dev/shm/*)
        echo "the kernel-level test cannot run from $path: the guest's /tmp, /run and /dev/shm are its own" >&2
        exit 1 ;;
    esac
done
mkdir -p "$cache" "$work"
[ -s "$cache/vmlinuz" ] || fetch_kernel
[ "$cache/initrd.gz" -nt "$(dirname "${BASH_SOURCE[0]}")/init" ] \
    && [ "$cache/initrd.gz" -nt "$cache/vmlinuz" ] || make_initramfs
kernel=$cache/vmlinuz

rm -f "$work/status" && printf '%q ' bash "$@" >"$work/command"
timeout "${KERNEL_VM_TIMEOUT:-240}" qemu-system-x86_64 -accel tcg -cpu max -m 1024 -smp 1 \
    -display none -monitor none -serial stdio -no-reboot -nic none \
    -kernel "$kernel" -initrd "$cache/initrd.gz" -append "console=ttyS0 quiet panic=-1" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$work,mount_tag=work,security_model=none" </dev/null \
    || { echo "the virtual machine failed or timed out (status $?)" && exit 1; }
[ -s "$work/status" ] || { echo "the virtual machine ended without running the test" && exit 1; }
exit "$(cat "$work/status")"
