#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the plain build,
# the suite under AddressSanitizer and UndefinedBehaviorSanitizer built by
# clang, the suite under ThreadSanitizer, a short run of every fuzz target, and
# the Windows DLL's suite under Wine. Each stage configures its own build tree
# with every option it relies on, and a stage that runs no test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=2
logs=build/logs
mkdir -p "$logs"
rm -f "$logs"/*.ctest.log

# suite NAME [cmake options...] -- [ctest options...]
suite() {
  local name=$1 dir=build/$1
  shift
  local configure=() run=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do configure+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  run=("$@")
  echo "== $name"
  cmake -S . -B "$dir" -DNUVZUB_TESTS=ON -DNUVZUB_FUZZ=OFF -DCMAKE_C_FLAGS= -DCMAKE_CXX_FLAGS= \
    -DCMAKE_EXE_LINKER_FLAGS= -DCMAKE_SHARED_LINKER_FLAGS= "${configure[@]}" >/dev/null
  cmake --build "$dir" -j$jobs
  # A hung test (a lock waiting for itself) fails after ten minutes instead of holding the run.
  (cd "$dir" && ctest --output-on-failure --no-tests=error --timeout 600 -j$jobs "${run[@]}") |
    tee "$logs/$name.ctest.log"
}

# The README's run command first, as a new user types it: it must build its
# own tree and show the two classes that share code 1013.
echo "== run command"
run_output=$(bash scripts/run.sh)
for class in NUVZubExcNoSuchFile NUVZubExcNoSuchForm; do
  grep -q "^$class\$" <<<"$run_output" || { echo "scripts/run.sh did not show $class" >&2; exit 1; }
done
echo "scripts/run.sh works"

suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVZUB_SANITIZE=OFF -DNUVZUB_BENCHMARKS=ON

# Built by clang, so the suite (tracebacks included) covers both compilers.
CC=clang CXX=clang++ ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  suite asan-clang -DCMAKE_BUILD_TYPE=Debug -DNUVZUB_SANITIZE=ON -DNUVZUB_BENCHMARKS=OFF \
  -- -LE no-sanitizer

suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVZUB_SANITIZE=OFF -DNUVZUB_BENCHMARKS=OFF \
  "-DCMAKE_C_FLAGS=-fsanitize=thread" "-DCMAKE_CXX_FLAGS=-fsanitize=thread" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread" "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread" \
  -- -LE no-sanitizer

echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DNUVZUB_FUZZ=ON -DNUVZUB_TESTS=OFF \
  -DNUVZUB_BENCHMARKS=OFF -DNUVZUB_SANITIZE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="" -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/fuzz -j$jobs
seconds=${NUVZUB_FUZZ_SECONDS:-30}
targets=0
for target in build/fuzz/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  targets=$((targets + 1))
  name=$(basename "$target")
  work=build/fuzz/corpus/$name
  mkdir -p "$work"
  seeds=$(find fuzz -type d -path "*/corpus/$name" | head -n 1)
  echo "-- $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=0 "$work" ${seeds:+"$seeds"} 2>&1 | tail -n 3
done
[ "$targets" -gt 0 ] || { echo "no fuzz target was built" >&2; exit 1; }

echo "== Windows DLL under Wine"
bash scripts/test-windows.sh | tee "$logs/windows.ctest.log"

# Every stage passed (set -e and pipefail stop at the first failure); total them.
total=$(sed -n 's/.*tests failed out of \([0-9]*\)/\1/p' "$logs"/*.ctest.log |
        awk '{ n += $1 } END { print n + 0 }')
# ctest counts a test that skipped itself (with its reason) in its total.
skipped=$(cat "$logs"/*.ctest.log | grep -cE '^[[:space:]]+[0-9]+ - .*\(Skipped\)$' || true)
echo "All test stages passed."
echo "tests: $((total - skipped)) passed, 0 failed, $skipped skipped"
