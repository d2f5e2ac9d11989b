#!/usr/bin/env bash
# Installs what is missing, builds the library and runs its main program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/run -DNUVZUB_TESTS=OFF -DNUVZUB_BENCHMARKS=OFF >/dev/null
cmake --build build/release -j2 --target zubexc >/dev/null
# Without arguments, show the two classes that share code 1013.
if [ $# -eq 0 ]; then set -- 1013; fi
exec ./build/run/tools/zubexc "$@"
