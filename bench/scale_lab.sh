#!/usr/bin/env bash
# Two real peers in the network lab (needs root) holding a large share, measured end to end,
# each figure next to a baseline timed in the same run:
#   1. first sync: FILES files of 1 KiB in FOLDERS folders, built in a staging folder on the same
#      filesystem and moved into peer a's folder at once, until all of them are on peer b
#      (files named *.pondartmp, downloads in progress, are not counted); against a plain `tar`
#      stream of the same tree over one TCP connection between the same two namespaces (nc),
#      once before the peers sync and once after they are stopped;
#   2. with the tree in place on both sides: a 1 KiB save on peer a until complete on peer b,
#      SAVES samples spaced beyond the rate windows (3.2 s apart): median, and how many did not
#      arrive within 10 s;
#   3. peak resident memory (VmHWM) of both peers at the end;
#   4. CPU time (utime + stime) of both peers over IDLE seconds with nothing to do.
# Every phase has a time limit, so a hang ends with a message rather than running forever.
# Usage: bench/scale_lab.sh [build-dir]   (default build/bench-release, a Release build)
# Environment (defaults in brackets):
#   PONDAR_SCALE_FILES [100000]    files in the tree
#   PONDAR_SCALE_FOLDERS [1000]    folders they are spread over
#   PONDAR_SCALE_SAVES [10]        samples of the single save
#   PONDAR_SCALE_IDLE [30]         seconds of idle CPU measured
#   PONDAR_SCALE_LIMIT [900]       time limit in seconds of the first sync and of each tar stream
#   PONDAR_SCALE_POLL [0.5]        seconds between two counts of the files on peer b (a count
#                                  walks the whole tree, ~75 ms at 100 000 files, so it is
#                                  not done every 2 ms: the first sync is timed to this step)
#   PONDAR_BENCH_KEEP              if set, the work folder (trees, logs) is kept
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench-release}
files=${PONDAR_SCALE_FILES:-100000}
folders=${PONDAR_SCALE_FOLDERS:-1000}
saves=${PONDAR_SCALE_SAVES:-10}
idle=${PONDAR_SCALE_IDLE:-30}
limit=${PONDAR_SCALE_LIMIT:-900}
poll=${PONDAR_SCALE_POLL:-0.5}
((files >= folders && folders >= 1)) || { echo "need FILES >= FOLDERS >= 1" >&2; exit 2; }

if ! command -v nc >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q netcat-openbsd >/dev/null ||
    { echo "nc is missing and netcat-openbsd could not be installed" >&2; exit 1; }
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPONDAR_BENCH=ON -DPONDAR_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target pondard >/dev/null

lab="pl$$xscale"
work=$(mktemp -d /var/tmp/pondar-scale-XXXXXX)
netlab=tests/lab/netlab.sh
cleanup() {
  "$netlab" down "$lab" >/dev/null 2>&1 || true
  [ -n "${PONDAR_BENCH_KEEP:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
"$netlab" up "$lab" 2 >/dev/null
mkdir -p "$work"/{a,b,appa,appb,stage}

source bench/lab_timing.sh
hz=$(getconf CLK_TCK)
count_files() { { find "$1" -type f ! -name '*.pondartmp' 2>/dev/null || true; } | wc -l; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
seconds() { awk -v ms="$1" 'BEGIN {printf "%.2f", ms / 1000}'; }
mib() { awk '/^'"$1"':/ {printf "%.1f", $2 / 1024}' "/proc/$2/status"; }
cpu_ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$1/stat"; }  # utime + stime
alive() { [ "$(cat "/proc/$1/comm" 2>/dev/null)" = pondard ]; }

# The tree: FILES files of 1 KiB of random bytes, spread evenly over FOLDERS folders.
echo "building ${files} files of 1 KiB in ${folders} folders (staging)..."
t0=$(now_ms)
tree="$work/stage/tree"
for ((d = 0; d < folders; d++)); do
  n=$((files / folders + (d < files % folders ? 1 : 0)))
  dir=$(printf '%s/d%04d' "$tree" "$d")
  mkdir -p "$dir"
  head -c $((n * 1024)) /dev/urandom | split -b 1024 -d -a 6 --additional-suffix=.bin - "$dir/f"
done
sync  # the staging writes' write-back is not the sync's cost
echo "  built in $(seconds $(($(now_ms) - t0))) s"

# The baseline: tar c | nc from peer 1 to peer 2, nc | tar x there. Prints the milliseconds from
# the start until tar x has written the last file (without fsync), or fails after the limit.
tar_stream() { # tar_stream SOURCE-PARENT NAME TARGET
  local port=9099 t0 recv_pid rc=0
  mkdir -p "$3"
  "$netlab" exec "$lab" 2 timeout "$limit" bash -c 'nc -d -l "$1" | tar x -C "$2"' _ \
    "$port" "$3" &
  recv_pid=$!
  wait_for 10 "$netlab" exec "$lab" 2 bash -c \
    '[ -n "$(ss -Hltn "sport = :$1")" ]' _ "$port" >&2
  t0=$(now_ms)
  "$netlab" exec "$lab" 1 timeout "$limit" bash -c 'tar c -C "$1" "$2" | nc -N "$3" "$4"' _ \
    "$1" "$2" 10.213.0.2 "$port" || rc=$?
  wait "$recv_pid" || rc=$?
  local ms=$(($(now_ms) - t0))
  if ((rc != 0)); then
    echo "tar stream failed or exceeded the limit of ${limit} s (exit status $rc)" >&2
    return 1
  fi
  local got
  got=$(count_files "$3/$2")
  ((got == files)) || { echo "tar stream brought ${got} of ${files} files" >&2; return 1; }
  echo "$ms"
}
# Times a sync(1) right after a stream: the write-back that a durable copy would wait for.
sync_ms() { local t0; t0=$(now_ms); sync; echo $(($(now_ms) - t0)); }

echo "plain tar stream (before the peers sync)..."
tar1=$(tar_stream "$work/stage" tree "$work/tar1")
tar1_sync=$(sync_ms)
# The copy stays until the end: on ext4 without a journal, creating files shortly after deleting
# many scans past the recently deleted inodes, which would slow down the peers' sync.

"$netlab" exec "$lab" 1 env APPDATA="$work/appa" "$build/pondard" --headless --name a \
  --folder "$work/a" >"$work/a.log" 2>"$work/a.err" &
pid_a=$!
"$netlab" exec "$lab" 2 env APPDATA="$work/appb" "$build/pondard" --headless --name b \
  --folder "$work/b" >"$work/b.log" 2>"$work/b.err" &
pid_b=$!
wait_for 20 grep -q "● a" "$work/b.log"
wait_for 20 grep -q "● b" "$work/a.log"
alive "$pid_a" && alive "$pid_b" || { echo "a peer is not running" >&2; exit 1; }

# 1. First sync, with the time at which every tenth of the tree was on peer b.
echo "first sync (limit ${limit} s)..."
sleep 3.2
step=$(((files + 9) / 10))
next=$step
marks=()
t0=$(now_ms)
mv "$tree" "$work/a/tree"
while :; do
  got=$(count_files "$work/b/tree")
  ms=$(($(now_ms) - t0))
  while ((next <= files && got >= next)); do
    marks+=("$next:$(seconds "$ms")s")
    next=$((next + step))
  done
  ((got >= files)) && break
  if ((ms > limit * 1000)); then
    echo "first sync did not finish: ${got} of ${files} files on peer b after ${limit} s" \
      "(progress: ${marks[*]:-none}); giving up" >&2
    exit 1
  fi
  alive "$pid_a" && alive "$pid_b" || { echo "a peer died during the first sync" >&2; exit 1; }
  sleep "$poll"
done
pondar_ms=$ms
echo "  progress (files on peer b : seconds): ${marks[*]}"

# 2. A single 1 KiB save with the tree in place. Samples are spaced beyond the peers' rate
#    windows (2 s local, 3 s for notices), so each one is taken up at once.
echo "single saves (${saves} samples)..."
mkdir -p "$work/a/lat"
sleep 3.2
samples=()
lost=0
samples_lost=
for i in $(seq 1 "$saves"); do
  t0=$(now_ms)
  head -c 1024 /dev/urandom >"$work/a/lat/$i.txt"
  if wait_for 10 test -f "$work/b/lat/$i.txt" 2>/dev/null; then
    samples+=($(($(now_ms) - t0)))
  else
    lost=$((lost + 1))
    samples_lost+=" $i"
  fi
  sleep 3.2
done

# 3 and 4. Idle CPU once the last save's rate windows are over, then the peak memory.
echo "idle CPU over ${idle} s..."
sleep 5
a0=$(cpu_ticks "$pid_a")
b0=$(cpu_ticks "$pid_b")
sleep "$idle"
a1=$(cpu_ticks "$pid_a")
b1=$(cpu_ticks "$pid_b")
hwm_a=$(mib VmHWM "$pid_a")
hwm_b=$(mib VmHWM "$pid_b")
rss_a=$(mib VmRSS "$pid_a")
rss_b=$(mib VmRSS "$pid_b")
arrived=$(count_files "$work/b/lat")
kill -TERM "$pid_a" "$pid_b"
wait "$pid_a" "$pid_b" || true

# The baseline once more, the peers stopped, from peer a's copy of the tree.
sync
echo "plain tar stream (after, peers stopped)..."
tar2=$(tar_stream "$work/a" tree "$work/tar2")
tar2_sync=$(sync_ms)
differ=$({ diff -rq "$work/a/tree" "$work/b/tree" 2>&1 || true; } | wc -l)
tar_ms=$(((tar1 + tar2) / 2))

echo
echo "== ${files} files of 1 KiB in ${folders} folders, two peers in the lab =="
echo "1. first sync, from the move until all are on peer b: pondar $(seconds "$pondar_ms") s;" \
  "plain tar stream $(seconds "$tar1") and $(seconds "$tar2") s (a sync(1) after them" \
  "$(seconds "$tar1_sync") and $(seconds "$tar2_sync") s); ratio to the tar mean" \
  "$(ratio "$pondar_ms" "$tar_ms"), to tar + sync" \
  "$(ratio "$pondar_ms" $(((tar1 + tar1_sync + tar2 + tar2_sync) / 2)))"
((differ == 0)) || echo "   WARNING: ${differ} differences between the two copies of the tree"
if ((${#samples[@]} > 0)); then
  echo "2. 1 KiB save until complete on peer b: median $(median "${samples[@]}") ms of" \
    "${#samples[@]} arrived; ${lost} of ${saves} not within 10 s${samples_lost:+ (#${samples_lost# })}" \
    "(samples: ${samples[*]}); ${arrived} of ${saves} on peer b at the end"
else
  echo "2. 1 KiB save until complete on peer b: none of ${saves} arrived within 10 s;" \
    "${arrived} of ${saves} on peer b at the end"
fi
echo "3. peak resident memory (VmHWM): peer a (sender) ${hwm_a} MiB, peer b (receiver)" \
  "${hwm_b} MiB; resident at the end ${rss_a} / ${rss_b} MiB"
awk -v a=$((a1 - a0)) -v b=$((b1 - b0)) -v hz="$hz" -v s="$idle" 'BEGIN {
  printf "4. CPU over %d s with nothing to do: peer a %.2f s, peer b %.2f s, both %.2f s\n",
    s, a / hz, b / hz, (a + b) / hz }'
