#!/usr/bin/env bash
# Installs what is missing, builds a release and packs it as a Debian package in build/package/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/deps.sh"

install_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
build="$root/build/package"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVREL_BUILD_TESTS=OFF \
    -DTAVREL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)"
rm -f "$build"/tavrel-control_*.deb
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$build" >/dev/null
deb=$(ls "$build"/tavrel-control_*.deb)
echo "Built $deb"
echo "Install it with (needs root): sudo apt install $deb"
