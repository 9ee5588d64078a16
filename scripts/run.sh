#!/usr/bin/env bash
# Installs what is missing, builds the application and starts it. It lives in the tray:
# right-click the icon and choose "Settings" for the window. Without a display (a server, SSH,
# a container) it shows the bridge at work headless instead, with a simulated device.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/deps.sh"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    exec bash "$root/scripts/demo.sh"
fi

install_packages "${BUILD_PACKAGES[@]}"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVREL_BUILD_TESTS=OFF \
    -DTAVREL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)"

# Without the udev rule only root may open the device; installing it is left to the user.
rule=70-tavrel-control.rules
found=
for dir in /etc/udev/rules.d /run/udev/rules.d /usr/local/lib/udev/rules.d /usr/lib/udev/rules.d \
    /lib/udev/rules.d; do
    if [ -e "$dir/$rule" ]; then found=yes; fi
done
if [ -z "$found" ]; then
    echo "Note: the udev rule for the device is not installed, so your user may not be able to open it."
    echo "      To install it (needs root, once): sudo install -m 644 $root/packaging/$rule /etc/udev/rules.d/"
    echo "      then unplug and replug the device."
    echo "      Whether your user may use the device: $build/src/tavrel-control --check"
fi
echo "Starting tavrel-control: it shows only its tray icon; right-click it for Settings or Quit."
exec "$build/src/tavrel-control" "$@"
