#!/usr/bin/env bash
# Installs what is missing, builds the library and runs its main program, in
# its own build tree (build/run), whatever other trees exist.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=build/run
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVZUB_TESTS=OFF \
  -DNUVZUB_BENCHMARKS=OFF -DNUVZUB_FUZZ=OFF >/dev/null
cmake --build "$build" -j2 --target zubexc >/dev/null
# Without arguments, show the two classes that share code 1013.
if [ $# -eq 0 ]; then set -- 1013; fi
exec "./$build/tools/zubexc" "$@"
