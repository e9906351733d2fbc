#!/usr/bin/env bash
# Installs what is missing, builds the test build (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test under CTest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
build="$top/build/test"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZENT_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
