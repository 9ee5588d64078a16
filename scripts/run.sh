#!/usr/bin/env bash
# Installs what is missing, builds the application and starts it. It lives in the tray:
# right-click the icon and choose "Settings" for the window.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/deps.sh"

install_packages "${BUILD_PACKAGES[@]}"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVREL_BUILD_TESTS=OFF \
    -DTAVREL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    die "no graphical session found (DISPLAY and WAYLAND_DISPLAY are unset); the program was built at $build/src/tavrel-control"
fi
echo "Starting tavrel-control: it shows only its tray icon; right-click it for Settings or Quit."
exec "$build/src/tavrel-control" "$@"
