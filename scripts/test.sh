#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/deps.sh"

install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
build="$root/build/test"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)"
# Long soaks carry the label "slow" and have their own commands.
ctest --test-dir "$build" --output-on-failure -LE slow
