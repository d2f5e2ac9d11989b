#!/usr/bin/env bash
# Installs what is missing, builds the library and runs its main program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -DNUVZUB_TESTS=OFF -DNUVZUB_BENCHMARKS=OFF >/dev/null
cmake --build build/release -j2 --target zubexc >/dev/null
exec ./build/release/tools/zubexc "$@"
