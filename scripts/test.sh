#!/bin/sh
# Sets up, builds and runs every test: unit and network tests in a plain
# build, then once more under AddressSanitizer and UBSan.
set -eu
cd "$(dirname "$0")/.."

./scripts/setup.sh build
(cd build && ctest --output-on-failure -j2 --timeout 600)

./scripts/setup.sh build-asan -DOSTREL_SANITIZER=address
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j2 --timeout 600)
echo "test.sh: all tests passed (plain and AddressSanitizer/UBSan builds)"
