#!/usr/bin/env bash
# Builds and runs every test: the normal build, the fuzz targets for a short
# time (clang), the threaded units under ThreadSanitizer, then the whole suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer. Ends with
# CTest's summary of the sanitizer run.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh || exit 1
jobs=$(nproc)
failed=0

# The normal build also runs a sample of the fault matrix (zorfw update with a
# fault injected at one request per fault kind); scripts/fault_matrix.sh runs all.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOR_FAULT_MATRIX=ON >/dev/null || exit 1
cmake --build build -j "$jobs" || exit 1
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 300 || failed=1

if command -v clang++ >/dev/null; then
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DZOR_BUILD_FUZZ=ON -DZOR_BUILD_BENCHMARKS=OFF -DZOR_BUILD_CLI=OFF >/dev/null || exit 1
  cmake --build build-fuzz -j "$jobs" --target zor_fuzz_all || failed=1
  for f in build-fuzz/tests/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    echo "== $f"
    "$f" -max_total_time="${ZOR_FUZZ_SECONDS:-10}" -print_final_stats=0 >"$f.log" 2>&1 \
      || { tail -n 40 "$f.log"; failed=1; }
  done
fi

# The threaded units (platform sockets and events, ring buffer, logger,
# simulator, network and USB transports) once more under ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOR_TSAN=ON \
      -DZOR_BUILD_BENCHMARKS=OFF -DZOR_BUILD_CLI=OFF -DZOR_BUILD_APP=OFF \
      "-DZOR_TEST_DIRS=platform;foundation;sim;net;usb" >/dev/null || exit 1
cmake --build build-tsan -j "$jobs" || exit 1
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan -j "$jobs" -L 'platform|foundation|sim|net|usb' --output-on-failure --timeout 600 \
  || failed=1

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZOR_SANITIZE=ON \
      -DZOR_BUILD_BENCHMARKS=OFF >/dev/null || exit 1
cmake --build build-asan -j "$jobs" || exit 1
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 600 || failed=1
exit $failed
