#!/usr/bin/env bash
# Floods the bridge's LISTEN port with 1,000,000 datagrams from 200 loopback addresses and
# prints what was sent, delivered, dropped by the kernel and written to the device, with the
# process's memory and descriptors before and after. Takes about half a minute.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/deps.sh"

install_packages "${BUILD_PACKAGES[@]}"
build="$root/build/test"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target tst_flood
ctest --test-dir "$build" -R '^tst_flood$' --output-on-failure --verbose
