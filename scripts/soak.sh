#!/usr/bin/env bash
# Unplugs and replugs the simulated device 200 times under the running bridge, with
# auto-connect and with the Start and Stop buttons, and prints memory and descriptor counts
# before and after. The auto-connect cycles wait for its 2 s timer: about 8 minutes.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/deps.sh"

install_packages "${BUILD_PACKAGES[@]}"
build="$root/build/test"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target tst_devicefaults
ctest --test-dir "$build" -R '^tst_devicefaults_soak$' --output-on-failure --verbose
