#!/usr/bin/env bash
# Installs what is missing, builds with every warning an error and with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite inside a network namespace of its
# own (loopback only), so that no test can reach the machine's real network. Runs as root.
# Extra arguments go to ctest, for instance: scripts/test.sh -R Discovery
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=build/asan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DPONDAR_WERROR=ON -DPONDAR_SANITIZE=address >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec unshare --net -- sh -c 'ip link set lo up && cd "$1" && shift && ctest --output-on-failure -j2 "$@"' \
  sh "$build" "$@"
