#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the plain build,
# the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=2

echo "== release build and tests"
cmake -S . -B build/release >/dev/null
cmake --build build/release -j$jobs
(cd build/release && ctest --output-on-failure -j$jobs) | tee build/release-ctest.log

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -DNUVZUB_SANITIZE=ON -DNUVZUB_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/asan -j$jobs
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j$jobs -LE no-sanitizer) | tee build/asan-ctest.log

echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DNUVZUB_FUZZ=ON -DNUVZUB_TESTS=OFF \
  -DNUVZUB_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/fuzz -j$jobs
seconds=${NUVZUB_FUZZ_SECONDS:-30}
for target in build/fuzz/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work=build/fuzz/corpus/$name
  mkdir -p "$work"
  seeds=$(find fuzz -type d -path "*/corpus/$name" | head -n 1)
  echo "-- $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=0 "$work" ${seeds:+"$seeds"} 2>&1 | tail -n 3
done
# Every stage passed (set -e stops at the first failure); total the two suites.
total=$(sed -n 's/.*tests failed out of \([0-9]*\)/\1/p' build/release-ctest.log build/asan-ctest.log |
        awk '{ n += $1 } END { print n + 0 }')
echo "All test stages passed."
echo "tests: $total passed, 0 failed"
