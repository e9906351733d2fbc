#!/usr/bin/env bash
# Installs what is missing, builds the test build (AddressSanitizer and
# UndefinedBehaviorSanitizer), runs every test under CTest, then runs the
# tests of the code that threads share under ThreadSanitizer, and then each
# fuzz target briefly. A failed test run stops here, before the fuzzers.
#
# The whole run keeps to a time budget (ZENT_CI_BUDGET_MINUTES, 80 by
# default: CI cuts a run off at 90 and a run cut off reports nothing).
# Before each phase the minutes spent are checked against it, and each
# phase may use only what is left of it; a run over it stops with one line
# naming the phase and the times so far. At the end a table gives each
# phase's time, before the closing count lines, which stay last.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
budget_min=${ZENT_CI_BUDGET_MINUTES:-80}
start=$(date +%s)
phase_names=()
phase_secs=()

mmss() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }

phase_list() {
  local i out=""
  for i in "${!phase_names[@]}"; do
    out+="${out:+, }${phase_names[$i]} $(mmss "${phase_secs[$i]}")"
  done
  echo "${out:-none}"
}

# phase <name> <command...>: runs the command (a program, or a function
# exported below) as one phase of the budget. It gets the seconds left; when
# they run out it is stopped with its process group (ninja's compilers,
# ctest's test programs).
phase() {
  local name=$1
  shift
  local now left rc=0
  now=$(date +%s)
  left=$((start + budget_min * 60 - now))
  if ((left <= 0)); then
    echo "run-tests: FAILED: time budget of $budget_min min spent ($(mmss $((now - start)))) before $name; phases so far: $(phase_list)"
    exit 1
  fi
  timeout -k 30 "$left" bash -eu -o pipefail -c '"$@"' phase "$@" || rc=$?
  phase_names+=("$name")
  phase_secs+=($(($(date +%s) - now)))
  if ((rc == 124 || rc == 137)); then
    echo "run-tests: FAILED: time budget of $budget_min min spent during $name; phases: $(phase_list)"
    exit 1
  fi
  return "$rc"
}

phase_table() {
  local i total=$(($(date +%s) - start))
  echo "== phase times (budget $budget_min min)"
  for i in "${!phase_names[@]}"; do
    printf '%-12s %8s\n' "${phase_names[$i]}" "$(mmss "${phase_secs[$i]}")"
  done
  printf '%-12s %8s\n' "total" "$(mmss "$total")"
}

# The closing lines report the test counts, after the fuzzers' output too:
# each build's CTest line, then both together. CI reads the last one.
summary=$(mktemp)
tsan_summary=$(mktemp)
trap 'rm -f "$summary" "$tsan_summary"' EXIT
closing() {
  phase_table
  local line asan_line tsan_line total=0 failed=0 f t
  asan_line=$(grep -E '^[0-9]+% tests passed' "$summary" | tail -n 1 || true)
  tsan_line=$(grep -E '^[0-9]+% tests passed' "$tsan_summary" | tail -n 1 || true)
  for line in "$asan_line" "$tsan_line"; do
    [[ -z "$line" ]] && continue
    echo "$line"
    read -r f t < <(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1 \2/' <<<"$line")
    total=$((total + t))
    failed=$((failed + f))
  done
  echo "ctest: $((total - failed)) passed, $failed failed"
}

# A test phase that fails ends the run with the table and the counts.
tests_or_stop() {
  local rc=0
  phase "$@" || rc=$?
  if ((rc != 0)); then
    closing
    exit "$rc"
  fi
}

# The phases' functions run in a child shell (under timeout): what they use
# is exported.
launcher=""
if command -v ccache >/dev/null 2>&1; then
  launcher="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
export top launcher summary tsan_summary

phase setup bash "$top/scripts/setup.sh"
export build="$top/build/test"
asan_build() {
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZENT_SANITIZE=ON \
    $launcher >/dev/null
  cmake --build "$build" -j "$(nproc)"
}
export -f asan_build
phase "ASan build" asan_build
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Each test also has its own CTest time limit (tests/CMakeLists.txt).
asan_tests() {
  (cd "$build" && ctest --output-on-failure -j "$(nproc)" "$@") | tee "$summary"
}
export -f asan_tests
tests_or_stop "ASan tests" asan_tests "$@"

# ThreadSanitizer: the task kernel and fibers, the server frame and sessions,
# the shared wait list, the session daemon's IPC thread and watchers,
# the storage engine with its I/O threads, and one served-and-stopped server
# process (the target tsan_tests in tests/CMakeLists.txt). Only those
# programs are built, so the second tree costs little. Its power-loss sweeps
# try a sample of their cut points (tests/support/sweep_stride.h), the
# AddressSanitizer tree every point.
# A report fails the test (halt_on_error); suppressions, if ever needed, go
# into tests/tsan.supp with the reason each report is not a race.
if [[ $# -eq 0 ]]; then
  export tsan="$top/build/tsan"
  tsan_build() {
    cmake -S "$top" -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZENT_TSAN=ON \
      -DZENT_BENCH=OFF $launcher >/dev/null
    cmake --build "$tsan" -j "$(nproc)" --target tsan_tests
  }
  export -f tsan_build
  phase "TSan build" tsan_build
  tsan_options="halt_on_error=1:second_deadlock_stack=1:suppressions=$top/tests/tsan.supp"
  export TSAN_OPTIONS=${TSAN_OPTIONS:-$tsan_options}
  # With the address space laid out at random ThreadSanitizer may find its
  # shadow memory taken on kernels with high mmap entropy; a fixed layout
  # avoids that where the system allows it.
  norandom=""
  setarch "$(uname -m)" -R true 2>/dev/null && norandom="setarch $(uname -m) -R"
  export norandom
  # Targets not built above are listed as *_NOT_BUILT. Of the served-server
  # tests this tree registers only the one stopped by SIGTERM.
  tsan_tests() {
    (cd "$tsan" && $norandom ctest --output-on-failure -j "$(nproc)" -E '_NOT_BUILT$') \
      | tee "$tsan_summary"
  }
  export -f tsan_tests
  tests_or_stop "TSan tests" tsan_tests
fi

phase fuzz bash "$top/scripts/run-fuzz.sh" 20
closing
