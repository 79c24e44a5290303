#!/usr/bin/env bash
# Installs what is missing, builds Pondar and runs it. Arguments are passed to pondard, for
# instance: scripts/run.sh --folder ~/Shared --name desk-01
# Without a display the program runs headless (log lines on standard output, Ctrl+C stops it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DPONDAR_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target pondard
exec build/release/pondard --headless "$@"
