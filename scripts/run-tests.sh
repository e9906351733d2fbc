#!/usr/bin/env bash
# Installs what is missing, builds the test build (AddressSanitizer and
# UndefinedBehaviorSanitizer), runs every test under CTest and then each
# fuzz target briefly. A failed test run stops here, before the fuzzers.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh"
build="$top/build/test"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZENT_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
(cd "$build" && ctest --output-on-failure -j "$(nproc)" "$@") | tee "$summary"
bash "$top/scripts/run-fuzz.sh" 20
# The closing line reports the test counts, after the fuzzers' output too.
grep -E '^[0-9]+% tests passed' "$summary" | tail -n 1
