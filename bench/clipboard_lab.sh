#!/usr/bin/env bash
# Clipboard sharing between two real peers in the network lab (needs root, Xvfb and xclip),
# each peer on an X display of its own:
#   1. from `xclip -i` on one display until `xclip -o` reads the text on the other (20 samples,
#      spaced beyond the watcher's 500 ms report gap, so that each is reported at once), against
#      the cost of one `xclip -o` alone, timed in the same run: that is the polling's resolution;
#   2. idle CPU time (utime + stime) over 60 s of `pondard --headless --clipboard` against
#      `pondard --headless` without it, side by side on the same idle folder.
# Usage: bench/clipboard_lab.sh [build-dir]   (default build/bench-release, a Release build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPONDAR_BENCH=ON -DPONDAR_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target pondard >/dev/null

lab="pl$$xclip"
work=$(mktemp -d /var/tmp/pondar-bench-XXXXXX)
netlab=tests/lab/netlab.sh
xvfb_pids=()
cleanup() {
  "$netlab" down "$lab" >/dev/null 2>&1 || true
  for pid in "${xvfb_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "${PONDAR_BENCH_KEEP:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

source bench/lab_timing.sh

# A private X server on a free display, its socket file reachable from every namespace.
start_xvfb() { # start_xvfb VAR: sets VAR to ":N"
  local fifo="$work/xvfb-$1"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -nolisten tcp -noreset 3>"$fifo" 2>"$work/xvfb-$1.err" &
  xvfb_pids+=($!)
  local number
  read -r -t 30 number <"$fifo" || { echo "Xvfb did not start" >&2; exit 1; }
  printf -v "$1" ':%s' "$number"
}
start_xvfb xa
start_xvfb xb
"$netlab" up "$lab" 2 >/dev/null
mkdir -p "$work"/{a,b,appa,appb,idle}

"$netlab" exec "$lab" 1 env APPDATA="$work/appa" DISPLAY="$xa" "$build/pondard" --headless \
  --clipboard --name a --folder "$work/a" >"$work/a.log" 2>"$work/a.err" &
pid_a=$!
"$netlab" exec "$lab" 2 env APPDATA="$work/appb" DISPLAY="$xb" "$build/pondard" --headless \
  --clipboard --name b --folder "$work/b" >"$work/b.log" 2>"$work/b.err" &
pid_b=$!
wait_for 20 grep -q "● a" "$work/b.log"
wait_for 20 grep -q "● b" "$work/a.log"
if grep -q "Clipboard sharing is unavailable" "$work/a.log" "$work/b.log"; then
  echo "a peer cannot reach its display" >&2
  exit 1
fi

# 1. Latency of one copy, and the cost of one read as its resolution.
paste_b() { DISPLAY="$xb" xclip -o -selection clipboard 2>/dev/null; }
pasted_is() { [ "$(paste_b)" = "$1" ]; }
printf 'baseline' | DISPLAY="$xb" xclip -selection clipboard -i 2>/dev/null
spawns=()
for i in $(seq 1 20); do
  t0=$(date +%s%N)
  paste_b >/dev/null
  spawns+=($((($(date +%s%N) - t0) / 1000)))
done
sleep 1
samples=()
for i in $(seq 1 20); do
  text="sample $i $(date +%s%N)"
  t0=$(now_ms)
  printf '%s' "$text" | DISPLAY="$xa" xclip -selection clipboard -i 2>/dev/null
  wait_for 10 pasted_is "$text"
  samples+=($(($(now_ms) - t0)))
  sleep 0.7
done
echo "copy on one display to readable on the other: median $(median "${samples[@]}") ms" \
  "(samples: ${samples[*]})"
echo "one xclip -o alone (the resolution): median $(median "${spawns[@]}") us" \
  "(samples: ${spawns[*]})"
received=$(grep -c "Clipboard received" "$work/b.log" || true)
echo "peer b logged ${received} received texts for 20 copies"
kill -TERM "$pid_a" "$pid_b"
wait "$pid_a" "$pid_b" || true

# 2. Idle CPU of the clipboard watcher: two peers on one idle folder, one with it, one without.
"$netlab" exec "$lab" 1 env APPDATA="$work/appa" DISPLAY="$xa" "$build/pondard" --headless \
  --clipboard --name c --folder "$work/idle" >"$work/c.log" 2>"$work/c.err" &
pid_c=$!
"$netlab" exec "$lab" 2 env APPDATA="$work/appb" DISPLAY="$xb" "$build/pondard" --headless \
  --name d --folder "$work/idle" >"$work/d.log" 2>"$work/d.err" &
pid_d=$!
wait_for 20 grep -q "● d" "$work/c.log"
wait_for 20 grep -q "● c" "$work/d.log"
sleep 5  # the first exchange of lists is over
cpu_ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$1/stat"; }  # utime + stime
c0=$(cpu_ticks "$pid_c")
d0=$(cpu_ticks "$pid_d")
sleep 60
c1=$(cpu_ticks "$pid_c")
d1=$(cpu_ticks "$pid_d")
hz=$(getconf CLK_TCK)
awk -v c=$((c1 - c0)) -v d=$((d1 - d0)) -v hz="$hz" 'BEGIN {
  printf "idle CPU over 60 s: with --clipboard %.2f s, without %.2f s, difference %.2f s\n",
    c / hz, d / hz, (c - d) / hz }'
kill -TERM "$pid_c" "$pid_d"
wait "$pid_c" "$pid_d" || true
