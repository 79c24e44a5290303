#!/usr/bin/env bash
# Installs what is missing, builds with every warning an error, and runs the whole test suite
# twice inside a network namespace of its own (loopback only), so that no test can reach the
# machine's real network: once built with AddressSanitizer and UndefinedBehaviorSanitizer, once
# with ThreadSanitizer; then builds the install tree and the Debian package and checks them
# (scripts/package-check.sh). Runs as root. Extra arguments go to ctest, for instance:
#   scripts/test.sh -R Discovery
# PONDAR_SANITIZERS="address" (or "thread") runs only that build; PONDAR_PACKAGE_CHECK=0 leaves
# out the package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

status=0
for sanitizer in ${PONDAR_SANITIZERS:-address thread}; do
  build=build/$([ "$sanitizer" = address ] && echo asan || echo tsan)
  echo "== ${sanitizer} sanitizer build: $build" >&2
  # The address build compiles the benchmarks too, so that they never fall behind the code.
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DPONDAR_WERROR=ON \
    -DPONDAR_SANITIZE="$sanitizer" -DPONDAR_BENCH="$([ "$sanitizer" = address ] && echo ON || echo OFF)" >/dev/null
  cmake --build "$build" -j"$(nproc)"
  # setarch -R: ThreadSanitizer's runtime cannot map its shadow memory under the address-space
  # randomisation of recent kernels.
  unshare --net -- setarch "$(uname -m)" -R sh -c \
    'ip link set lo up && cd "$1" && shift && ctest --output-on-failure -j2 "$@"' \
    sh "$build" "$@" || status=1
done
if [ "${PONDAR_PACKAGE_CHECK:-1}" != 0 ]; then
  scripts/package-check.sh || status=1
fi
exit $status
