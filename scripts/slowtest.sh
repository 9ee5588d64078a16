#!/usr/bin/env bash
# slowtest.sh TARGET TEST: builds one test executable in the normal test build (build/test)
# and runs one CTest test of label "slow" verbosely, so that its figures show.
# Used by flood.sh and soak.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/deps.sh"

install_packages "${BUILD_PACKAGES[@]}"
build="$root/build/test"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target "$1"
ctest --test-dir "$build" -R "^$2\$" --output-on-failure --verbose
