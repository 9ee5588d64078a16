#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs each for SECONDS (default 60):
#   bash fuzz/run.sh [SECONDS] [TARGET...]
# Seeds come from fuzz/corpus/<target>/ (committed, never written to); what the run learns
# goes to build/fuzz/corpus/<target>/ and is reused by the next run. A crash stops the run
# with the input saved in build/fuzz/artifacts/; replay it with
#   build/fuzz/fuzz/<target> <file>
# and turn it into a regression test.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/deps.sh"

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_datagram fuzz_bridge)

install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
build="$root/build/fuzz"
CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_FUZZ=ON \
    -DTAVREL_BUILD_TESTS=OFF -DTAVREL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp"
mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
    learned="$build/corpus/$target"
    mkdir -p "$learned"
    echo "-- $target for ${seconds} s"
    log="$build/$target.log"
    if ! "$build/fuzz/$target" "$learned" "$root/fuzz/corpus/$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "error: $target failed; the input is in $build/artifacts/" >&2
        exit 1
    fi
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+ +DONE' "$log" || true
done
