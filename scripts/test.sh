#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite in four steps:
#   1. the normal build (build/test), with the kernel-level test (label kernel: the program in
#      a throwaway VM on uhid-made devices; its kernel is fetched into build/ on first use);
#   2. the same suites built with AddressSanitizer, UndefinedBehaviorSanitizer and
#      LeakSanitizer (build/asan): any report fails the run;
#   3. a bounded libFuzzer run of every target in fuzz/ (build/fuzz, clang);
#   4. the normal build again against Qt 6 (build/qt6), Qt 5 being the reference.
# The flood and the unplug soak are benchmark phases (bench/run), not tests.
# FUZZ_SECONDS (default 15) sets the fuzzing time per target; 0 skips fuzzing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/deps.sh"

install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
jobs=$(nproc)
phase() { echo "== $* (at ${SECONDS} s)"; }

phase "Tests, normal build"
build="$root/build/test"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --parallel "$jobs"
ctest --test-dir "$build" --output-on-failure

phase "Tests, sanitized build"
asan="$root/build/asan"
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_BUILD_TESTS=ON \
    -DTAVREL_SANITIZE=ON >/dev/null
cmake --build "$asan" --parallel "$jobs"
# Leak checking is on by default; the suppressions file says what it hides and why.
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0"
ctest --test-dir "$asan" --output-on-failure -LE kernel # the kernel-level test runs once, above
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS

if [ "${FUZZ_SECONDS:-15}" != 0 ]; then
    phase "Fuzzing, ${FUZZ_SECONDS:-15} s per target"
    bash "$root/fuzz/run.sh" "${FUZZ_SECONDS:-15}"
fi

phase "Tests, normal build, Qt 6"
qt6="$root/build/qt6"
cmake -S "$root" -B "$qt6" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_BUILD_TESTS=ON \
    -DTAVREL_BUILD_TOOLS=OFF -DTAVREL_QT_MAJOR=6 >/dev/null
cmake --build "$qt6" --parallel "$jobs"
ctest --test-dir "$qt6" --output-on-failure -LE kernel
phase "All passed"
