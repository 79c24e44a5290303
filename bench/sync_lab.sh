#!/usr/bin/env bash
# Two real peers in the network lab (needs root), measured end to end:
#   1. from saving a 1 KiB file on one peer until it is complete on the other (median of 20);
#   2. bringing 1 000 files of 4 KiB across (moved in as one folder, and written one by one);
#   3. one 1 GiB file, against a plain socket copy of the same file between the same namespaces
#      timed in the same run;
#   4. the receiving peer's peak resident memory (VmHWM) at the end.
# Usage: bench/sync_lab.sh [--key] [build-dir]   (default build/bench-release, a Release build)
#   --key: everything twice in one run, the peers first plain and then sharing a network key
#   (TLS on every connection), so that the two can be compared.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --key ]; then
  shift
  echo "== plain"
  PONDAR_BENCH_KEYED=0 "$0" "$@"
  echo "== keyed"
  PONDAR_BENCH_KEYED=1 "$0" "$@"
  exit
fi
build=${1:-build/bench-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPONDAR_BENCH=ON -DPONDAR_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target pondard plain_copy >/dev/null

lab="pl$$xbench"
work=$(mktemp -d /var/tmp/pondar-bench-XXXXXX)
netlab=tests/lab/netlab.sh
cleanup() {
  "$netlab" down "$lab" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$netlab" up "$lab" 2 >/dev/null
mkdir -p "$work"/{a,b,appa,appb,stage}
if [ "${PONDAR_BENCH_KEYED:-0}" = 1 ]; then
  key=$("$netlab" exec "$lab" 1 "$build/pondard" --new-key)
  for app in appa appb; do
    mkdir -p "$work/$app/Pondar"
    printf '[Network]\nKey=%s\n' "$key" >"$work/$app/Pondar/pondard.ini"
  done
fi

source bench/lab_timing.sh
has_files() { test "$(find "$1" -type f 2>/dev/null | wc -l)" -eq "$2"; }

"$netlab" exec "$lab" 1 env APPDATA="$work/appa" "$build/pondard" --headless --name a \
  --folder "$work/a" >"$work/a.log" 2>"$work/a.err" &
"$netlab" exec "$lab" 2 env APPDATA="$work/appb" "$build/pondard" --headless --name b \
  --folder "$work/b" >"$work/b.log" 2>"$work/b.err" &
wait_for 10 grep -q "● a" "$work/b.log"
pid_b=$(ip netns pids "$lab-p2" | head -n 1)

# 1. Latency of one small save. Samples are spaced beyond the peers' rate windows (2 s local,
#    3 s for notices), so each one is taken up at once.
samples=()
mkdir -p "$work/a/lat"
sleep 3.2
for i in $(seq 1 20); do
  t0=$(now_ms)
  head -c 1024 /dev/urandom >"$work/a/lat/$i.txt"
  wait_for 10 test -f "$work/b/lat/$i.txt"
  samples+=($(($(now_ms) - t0)))
  sleep 3.2
done
echo "1 KiB save to complete on the other peer: median $(median "${samples[@]}") ms (samples: ${samples[*]})"

# 2. A thousand small files.
mkdir -p "$work/stage/many"
for i in $(seq 1 1000); do head -c 4096 /dev/urandom >"$work/stage/many/f$i.bin"; done
sync  # the staging writes' write-back is not the sync's cost
sleep 3.2
t0=$(now_ms)
mv "$work/stage/many" "$work/a/many"
wait_for 60 has_files "$work/b/many" 1000
echo "1000 x 4 KiB moved in as one folder: $(($(now_ms) - t0)) ms"
sleep 3.2
mkdir -p "$work/a/many2"
t0=$(now_ms)
for i in $(seq 1 1000); do head -c 4096 /dev/urandom >"$work/a/many2/f$i.bin"; done
wait_for 60 has_files "$work/b/many2" 1000
echo "1000 x 4 KiB written one by one: $(($(now_ms) - t0)) ms from the first write"

# 3. One 1 GiB file, and the same bytes by a plain socket copy before and after it. Dirty pages
#    are flushed before each run, so that no run pays for the previous one's write-back.
plain_copy() { # plain_copy SOURCE TARGET: prints milliseconds from start to complete
  "$netlab" exec "$lab" 2 "$build/bench/plain_copy" recv 9099 "$2" >"$work/plain.out" &
  local recv_pid=$!
  wait_for 10 grep -q listening "$work/plain.out"
  local t0
  t0=$(now_ms)
  "$netlab" exec "$lab" 1 "$build/bench/plain_copy" send 10.213.0.2 9099 "$1"
  wait "$recv_pid"
  echo $(($(now_ms) - t0))
}
head -c $((1 << 30)) /dev/urandom >"$work/stage/big.bin"
sync
plain1=$(plain_copy "$work/stage/big.bin" "$work/plain1.bin")
rm -f "$work/plain1.bin"
sync
sleep 3.2
t0=$(now_ms)
mv "$work/stage/big.bin" "$work/a/big.bin"
wait_for 120 test -f "$work/b/big.bin"
pondar_ms=$(($(now_ms) - t0))
cmp -s "$work/a/big.bin" "$work/b/big.bin" || echo "WARNING: the copies differ" >&2
hwm=$(awk '/VmHWM/ {print $2}' "/proc/$pid_b/status")
sync
plain2=$(plain_copy "$work/a/big.bin" "$work/plain2.bin")
plain_ms=$(((plain1 + plain2) / 2))
echo "1 GiB: pondar ${pondar_ms} ms (from the move until complete), plain socket copy" \
  "${plain1} and ${plain2} ms; ratio to their mean" \
  "$(awk -v a="$pondar_ms" -v b="$plain_ms" 'BEGIN {printf "%.2f", a / b}')"
echo "receiving peer's peak resident memory: $((hwm / 1024)) MiB (${hwm} KiB)"
