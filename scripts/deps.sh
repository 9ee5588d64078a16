# Sourced by run.sh and test.sh: installs the Debian packages a step needs, when missing.
# shellcheck shell=bash

die() {
    echo "error: $*" >&2
    exit 1
}

# install_packages PKG... : installs whatever of PKG is not installed yet, with sudo when
# not root, and stops with a clear message when that is not possible.
install_packages() {
    command -v dpkg-query >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1 \
        || die "this set-up needs a Debian or Ubuntu system with apt-get; install these packages by hand: $*"
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 \
            || die "missing packages (${missing[*]}) and no sudo to install them; as root run: apt-get install ${missing[*]}"
        sudo=(sudo)
        echo "Installing ${missing[*]} with sudo (you may be asked for your password)."
    else
        echo "Installing ${missing[*]}."
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq \
        || die "apt-get update failed; check the network and your apt sources, then retry"
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" \
        || die "could not install: ${missing[*]} (are they in your distribution's archive?)"
}

# Names that Debian 12 and 13 both have (and Ubuntu 22.04 and later): no versioned ones.
BUILD_PACKAGES=(cmake make g++ pkg-config qtbase5-dev libhidapi-dev)
# What the test suite needs beyond the build: clang's sanitizer and fuzzer runtimes, and
# Qt 6 (Core, Gui, Widgets, Network, Test and the platform plugins) for the Qt 6 run.
TEST_PACKAGES=(clang libclang-rt-dev qt6-base-dev)
# The desktop test: a private bus, a virtual display, a tray, input, screenshots, Xlib.
TEST_PACKAGES+=(dbus xvfb xauth xdotool trayer imagemagick x11-utils libx11-dev)
# The install checks: the desktop entry, metainfo and user unit validators, and the .deb tools.
TEST_PACKAGES+=(desktop-file-utils appstream systemd dpkg-dev file)
# The kernel-level test: an emulated machine, its initramfs's shell, a real udevd, and xz for
# the kernel modules of Debian 13.
TEST_PACKAGES+=(qemu-system-x86 busybox-static udev xz-utils)
# scripts/package.sh: dpkg-shlibdeps computes the package's Depends; CPack needs file.
PACKAGE_PACKAGES=(dpkg-dev file)
