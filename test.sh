#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite headless: once as built, once under AddressSanitizer and
# UndefinedBehaviorSanitizer; then the fuzzers for a bounded time and the packaging checks.
set -euo pipefail
cd "$(dirname "$0")"
.ci/install-deps cmake make g++ qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libpcap-dev \
    clang libclang-rt-14-dev desktop-file-utils appstream dpkg-dev file dbus
jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen

echo "== Build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== Build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON -DOSTREL_BENCH=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
LSAN_OPTIONS="suppressions=$PWD/.ci/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

if [ -x .ci/fuzz ]; then
    echo "== Fuzzing"
    .ci/fuzz
fi
if [ -x .ci/package-check ]; then
    echo "== Packaging"
    .ci/package-check
fi
echo "== All tests passed"
