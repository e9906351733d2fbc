#!/usr/bin/env bash
# Installs what is missing, builds the test build (AddressSanitizer and
# UndefinedBehaviorSanitizer), runs every test under CTest, then runs the
# tests of the code that threads share under ThreadSanitizer, and then each
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
tsan_summary=$(mktemp)
trap 'rm -f "$summary" "$tsan_summary"' EXIT
(cd "$build" && ctest --output-on-failure -j "$(nproc)" "$@") | tee "$summary"

# ThreadSanitizer: the task kernel and fibers, the server frame and sessions,
# the shared wait list, the session daemon's IPC thread and watchers,
# the storage engine with its I/O threads, and one served-and-stopped server
# process (the target tsan_tests in tests/CMakeLists.txt). Only those
# programs are built, so the second tree costs little.
# A report fails the test (halt_on_error); suppressions, if ever needed, go
# into tests/tsan.supp with the reason each report is not a race.
if [[ $# -eq 0 ]]; then
  tsan="$top/build/tsan"
  cmake -S "$top" -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZENT_TSAN=ON \
    -DZENT_BENCH=OFF >/dev/null
  cmake --build "$tsan" -j "$(nproc)" --target tsan_tests
  tsan_options="halt_on_error=1:second_deadlock_stack=1:suppressions=$top/tests/tsan.supp"
  export TSAN_OPTIONS=${TSAN_OPTIONS:-$tsan_options}
  # With the address space laid out at random ThreadSanitizer may find its
  # shadow memory taken on kernels with high mmap entropy; a fixed layout
  # avoids that where the system allows it.
  norandom=()
  setarch "$(uname -m)" -R true 2>/dev/null && norandom=(setarch "$(uname -m)" -R)
  # Targets not built above are listed as *_NOT_BUILT. Of the served-server
  # tests this tree registers only the one stopped by SIGTERM.
  (cd "$tsan" && "${norandom[@]}" ctest --output-on-failure -j "$(nproc)" -E '_NOT_BUILT$') \
    | tee "$tsan_summary"
fi

bash "$top/scripts/run-fuzz.sh" 20
# The closing lines report the test counts, after the fuzzers' output too:
# each build's CTest line, then both together.
asan_line=$(grep -E '^[0-9]+% tests passed' "$summary" | tail -n 1)
tsan_line=$(grep -E '^[0-9]+% tests passed' "$tsan_summary" | tail -n 1 || true)
total=0
failed=0
for line in "$asan_line" "$tsan_line"; do
  [[ -z "$line" ]] && continue
  echo "$line"
  read -r f t < <(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1 \2/' <<<"$line")
  total=$((total + t))
  failed=$((failed + f))
done
echo "ctest: $((total - failed)) passed, $failed failed"
