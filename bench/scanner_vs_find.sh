#!/usr/bin/env bash
# Builds the scanner benchmark in a Release build directory of its own and runs the
# scan-against-find comparison. Usage: bench/scanner_vs_find.sh [build-dir] [extra benchmark flags]
# The 100 000-file tree is made once under the temporary folder (or $PONDAR_SCANBENCH_DIR).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-bench}"
shift || true
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPONDAR_BENCH=ON -DPONDAR_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ScannerBench >/dev/null
# The two single runs come first and warm the cache; the comparison then times both back to back.
exec "$build/bench/ScannerBench" --benchmark_filter='ScanVsFind|ScanFolder|FindPrintf' "$@"
