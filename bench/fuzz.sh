#!/usr/bin/env bash
# Fuzzes the parsers of peer input (tests/fuzz) with libFuzzer: builds build/fuzz with clang
# and PONDAR_FUZZ=ON, then runs each target in turn, one process at a time, inside a network
# namespace of its own (loopback only: the server target listens and connects).
#
# Usage: bench/fuzz.sh [SECONDS] [--merge] [TARGET...]
#   SECONDS  fuzzing time per target (default 60)
#   --merge  afterwards, keep in tests/fuzz/corpus/<target>/ the seeds and a minimal set of
#            earlier and new finds that reaches every branch reached
#   TARGET   Datagram, KeyedDatagram, FileList, ServerRequest, ScreenFrame, Handshake (default:
#            all six)
#
# Each target reads its committed corpus and writes new finds to build/fuzz/scratch/<target>/.
# A crash, hang or violated property stops libFuzzer with a crash-*, timeout-*, oom-* or
# leak-* file in build/fuzz/findings/<target>/; the run then goes on for the time left, so one
# shallow bug cannot hide the rest (at most MaxRestarts times per target). At the end it prints,
# per target, the executions done and the findings written. Needs root (unshare, apt-get).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
merge=0
targets=()
for arg in "$@"; do
  case "$arg" in
    --merge) merge=1 ;;
    ''|*[!0-9]*) targets+=("$arg") ;;
    *) seconds=$arg ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(Datagram KeyedDatagram FileList ServerRequest ScreenFrame Handshake)
readonly MaxRestarts=5

# clang and its libFuzzer runtime (Debian 12: clang, libclang-rt-14-dev).
fuzzer_runtime() {
  command -v clang++ >/dev/null || return 1
  [ -f "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]
}
if ! fuzzer_runtime; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "clang or its libFuzzer runtime is missing; run as root to install them" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    clang libclang-rt-14-dev >/dev/null
  fuzzer_runtime || { echo "no libclang_rt.fuzzer after installing clang" >&2; exit 1; }
fi

build=build/fuzz
# -O1 -g: quick enough to fuzz, still readable stacks; no -Werror for another compiler's taste.
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE= \
  -DCMAKE_CXX_FLAGS="-O1 -g" -DPONDAR_FUZZ=ON -DPONDAR_TESTS=OFF -DPONDAR_WERROR=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/%/Fuzz}"

# The server target's temporary folders go here, so that nothing is left behind even when a
# crash skips its clean-up.
tmp=$(mktemp -d "$PWD/$build/tmp.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# Runs a command in a fresh network namespace with loopback up.
isolated() {
  unshare --net -- sh -c 'ip link set lo up && exec "$@"' sh env TMPDIR="$tmp" "$@"
}

declare -A executions findings
for target in "${targets[@]}"; do
  program=$build/tests/fuzz/${target}Fuzz
  corpus=tests/fuzz/corpus/$target
  scratch=$build/scratch/$target
  found=$build/findings/$target
  logs=$build/logs/$target
  mkdir -p "$scratch" "$found" "$logs"
  before=$(find "$found" -type f | wc -l)
  total=0
  end=$((SECONDS + seconds))
  run=0
  while [ $run -le $MaxRestarts ] && [ $((end - SECONDS)) -gt 0 ]; do
    run=$((run + 1))
    log=$logs/run-$run.log
    echo "== $target: run $run, $((end - SECONDS)) s (log: $log)"
    # New finds go to the first folder; the committed corpus is only read.
    isolated "$program" -max_total_time=$((end - SECONDS)) -timeout=60 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$found/" "$scratch" "$corpus" >"$log" 2>&1 || true
    grep -E '^#[0-9]+[[:space:]]+DONE|^==[0-9]+==|^SUMMARY|property violated|Test unit written' "$log" || true
    done_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    total=$((total + ${done_runs:-0}))
    grep -qE '^#[0-9]+[[:space:]]+DONE' "$log" && break  # ran its time out without a finding
  done
  executions[$target]=$total
  findings[$target]=$(($(find "$found" -type f | wc -l) - before))

  if [ $merge -eq 1 ]; then
    # Minimised afresh: the hand-made seeds stay, and of everything else (earlier finds and this
    # run's) only inputs that reach a branch the others miss. Branches, not hit counts
    # (-use_counters=0): that keeps the corpus to a few dozen files that replay in CI in seconds.
    echo "== $target: merging new finds into $corpus"
    merged=$build/merged/$target
    rm -rf "$merged"
    mkdir -p "$merged"
    cp "$corpus"/seed-* "$merged"/
    isolated "$program" -merge=1 -use_counters=0 -max_len=8192 "$merged" "$corpus" "$scratch" \
      >"$logs/merge.log" 2>&1 || { tail -n 20 "$logs/merge.log"; exit 1; }
    find "$corpus" -type f ! -name 'seed-*' -delete
    find "$merged" -type f ! -name 'seed-*' -exec cp {} "$corpus"/ \;
    echo "   $(find "$corpus" -type f | wc -l) files, $(du -sk "$corpus" | cut -f1) KiB"
  fi
done

echo
printf '%-15s %12s %9s  %s\n' target executions findings "findings folder"
for target in "${targets[@]}"; do
  printf '%-15s %12s %9s  %s\n' "$target" "${executions[$target]}" "${findings[$target]}" \
    "$build/findings/$target"
done
