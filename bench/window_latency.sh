#!/usr/bin/env bash
# Measures how long the main window's event loop goes without turning while a 1 GiB file
# arrives and full-HD frames stream in (bench/WindowLatency.cpp says how), in a network namespace
# of its own (loopback only), since the engine broadcasts. Runs as root.
#
#   bench/window_latency.sh [program options]      e.g. --file-mib 256 --fps 10
#
# PONDAR_BUILD: the build folder to use (default build/bench-release, made as Release).
# PONDAR_LATENCY_X=1: the window on a private Xvfb display instead of Qt's offscreen platform.
# PONDAR_LATENCY_WRAP: a command put before the program, e.g. "perf record -g -o /tmp/wl.data".
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PONDAR_BUILD:-build/bench-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPONDAR_BENCH=ON -DPONDAR_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target WindowLatency >/dev/null
cd "$build/bench"

run='ip link set lo up && exec $PONDAR_LATENCY_WRAP ./WindowLatency "$@"'
if [ "${PONDAR_LATENCY_X:-}" = 1 ]; then
  run='ip link set lo up && exec xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" env QT_QPA_PLATFORM=xcb $PONDAR_LATENCY_WRAP ./WindowLatency "$@"'
fi
export PONDAR_LATENCY_WRAP=${PONDAR_LATENCY_WRAP:-}
unshare --net -- sh -c "$run" sh "$@"
