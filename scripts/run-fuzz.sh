#!/usr/bin/env bash
# Builds the libFuzzer targets (message codec and the logon cipher text;
# framing and dispatch over the test database; the
# session daemon's buffer, start-up and request decoders; the status pages'
# request reader and Base64 credentials, shared by both programs; the
# catalog's stored descriptions and rows; single log records handed to the
# recovery handlers; the node pages the consistency check reads) with
# clang and runs each for a fixed time from its seed corpus. Fails when a
# target finds a crash, a leak or undefined behaviour; the input that did it
# is kept under <build>/artifacts/.
#
# Usage: scripts/run-fuzz.sh [seconds per target]   (default 30, or $FUZZ_SECONDS)
# The build directory is build/fuzz unless $ZENT_FUZZ_BUILD names another.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_SECONDS:-30}}
build=${ZENT_FUZZ_BUILD:-$top/build/fuzz}
targets=(codec_fuzz dispatch_fuzz zentsd_fuzz http_fuzz syscat_fuzz log_record_fuzz nodepage_fuzz)

cc=$(command -v clang-14 || command -v clang || true)
cxx=$(command -v clang++-14 || command -v clang++ || true)
if [[ -z "$cc" || -z "$cxx" ]]; then
  echo "run-fuzz: clang is needed (clang-14 and libclang-rt-14-dev)" >&2
  exit 1
fi

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DZENT_FUZZ=ON -DZENT_TESTS=OFF -DZENT_BENCH=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}"

mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
  corpus=$(mktemp -d)
  trap 'rm -rf "$corpus"' EXIT
  cp "$top/tests/fuzz/corpus/$t/"* "$corpus/" 2>/dev/null || true
  dict=()
  [[ -f "$top/tests/fuzz/$t.dict" ]] && dict=(-dict="$top/tests/fuzz/$t.dict")
  echo "== $t: ${seconds}s"
  "$build/tests/fuzz/$t" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="$build/artifacts/$t-" "$corpus"
  rm -rf "$corpus"
  trap - EXIT
done
echo "run-fuzz: no failures"
