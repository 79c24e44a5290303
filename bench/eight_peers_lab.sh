#!/usr/bin/env bash
# Eight real peers in the network lab (needs root), each sharing a folder of its own, measured
# end to end, each figure next to a baseline timed in the same run:
#   1. a 4 KiB save on peer 1 until complete on all seven others, SAVES samples spaced beyond
#      the peers' rate windows (2 s for local changes, 3 s for change notices: 3.5 s apart):
#      median and max; against the same bytes sent by nc from peer 1 to the seven at once;
#   2. a burst of FILES files of 4 KiB written one by one into a new folder on peer 3 (as a
#      program makes them, not moved in finished) until all are complete on all seven others,
#      BURSTS times: median and max; against one tar stream of the same files from peer 3 to
#      the seven at once (nc), before and after the bursts;
#   3. file lists pulled per change (syncs begun, "⇄ <peer>..." lines: each sync pulls the
#      list of the peer it syncs with once), per peer and in total, for the saves and the bursts.
#      Eight notified peers that each pull once make 7 per change; a notice storm (every peer
#      that received the change telling the others) makes about 7 per peer, 56 in total.
# Every phase has a time limit, so a hang ends with a message rather than running forever.
# Usage: bench/eight_peers_lab.sh [build-dir]   (default build/bench-release, a Release build)
# Environment (defaults in brackets):
#   PONDAR_EIGHT_SAVES [10]     samples of the single save
#   PONDAR_EIGHT_FILES [200]    files in a burst
#   PONDAR_EIGHT_BURSTS [3]     bursts
#   PONDAR_BENCH_KEEP           if set, the work folder (folders, logs) is kept
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench-release}
saves=${PONDAR_EIGHT_SAVES:-10}
files=${PONDAR_EIGHT_FILES:-200}
bursts=${PONDAR_EIGHT_BURSTS:-3}
peers=8
((saves >= 1 && files >= 1 && bursts >= 1)) ||
  { echo "need SAVES, FILES, BURSTS >= 1" >&2; exit 2; }

source bench/lab_timing.sh
lab_start "$build" "pl$$xeight" "$peers" pondar-eight
lab="$lab_name"

others() { local i; for ((i = 1; i <= peers; i++)); do ((i == $1)) || echo "$i"; done; }
ip_of() { echo "10.213.0.$1"; }
alive() { [ "$(cat "/proc/$1/comm" 2>/dev/null)" = pondard ]; }
all_alive() { local p; for p in "${pids[@]}"; do alive "$p" || return 1; done; }
# Syncs begun by peer $1 so far.
begun() { grep -c -E '^\[[0-9:]+\] ⇄ .*\.\.\.$' "$work/p$1.log" || true; }
# Syncs ended: done, up to date, or the peer unreachable.
ended() { grep -c -E '^\[[0-9:]+\] (✓ |⚠ .* - unreachable$)' "$work/p$1.log" || true; }
begun_each() { local i; for ((i = 1; i <= peers; i++)); do begun "$i"; done; }
# True when every peer but $1 holds $2 (relative) with $3 bytes.
all_have() {
  local j
  for j in $(others "$1"); do
    [ "$(stat -c %s "$work/p$j/$2" 2>/dev/null)" = "$3" ] || return 1
  done
}
# True when every peer but $1 holds $3 files of the folder $2, none of them a download in
# progress (*.pondartmp), each with its full size.
all_have_tree() {
  local j got
  for j in $(others "$1"); do
    got=$({ find "$work/p$j/$2" -type f -size "$4c" ! -name '*.pondartmp' 2>/dev/null ||
      true; } | wc -l)
    ((got == $3)) || return 1
  done
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
max() { printf '%s\n' "$@" | sort -n | tail -n 1; }

# Waits, up to $1 seconds, until every sync begun has ended and no peer has begun one for $2
# seconds: a change's syncs trail it by up to about 5 s (its local window, then the receivers'
# notice window).
settle() {
  local limit=$(($(now_ms) + $1 * 1000)) quiet_ms=$(($2 * 1000)) last='' since now i b e total
  since=$(now_ms)
  while :; do
    total=0
    local running=0
    for ((i = 1; i <= peers; i++)); do
      b=$(begun "$i")
      e=$(ended "$i")
      total=$((total + b))
      ((e >= b)) || running=1
    done
    now=$(now_ms)
    if [ "$total" != "$last" ] || ((running)); then
      last=$total
      since=$now
    fi
    ((now - since >= quiet_ms)) && return 0
    ((now < limit)) || { echo "the peers did not settle within $1 s" >&2; return 1; }
    all_alive || { echo "a peer died" >&2; return 1; }
    sleep 0.2
  done
}

# Sends $2 (a file, or with -t a folder as a tar stream) from peer $1 to every other peer at
# once over nc, into $work/base/<peer>/; prints the milliseconds from the start until every
# receiver has written the last byte, or fails after 60 s.
fan_out() {
  local from=$1 mode=$2 src=$3 j t0 rc=0 rpids=() targets=()
  rm -rf "$work/base"
  for j in $(others "$from"); do
    mkdir -p "$work/base/$j"
    if [ "$mode" = tar ]; then
      "$netlab" exec "$lab" "$j" timeout 60 bash -c 'nc -d -l "$1" | tar x -C "$2"' _ \
        $((9100 + j)) "$work/base/$j" >/dev/null &
    else
      "$netlab" exec "$lab" "$j" timeout 60 bash -c 'nc -d -l "$1" >"$2"' _ $((9100 + j)) \
        "$work/base/$j/$(basename "$src")" >/dev/null &
    fi
    rpids+=($!)
  done
  for j in $(others "$from"); do
    wait_for 10 "$netlab" exec "$lab" "$j" bash -c '[ -n "$(ss -Hltn "sport = :$1")" ]' _ \
      $((9100 + j)) >&2
  done
  for j in $(others "$from"); do targets+=("$(ip_of "$j"):$((9100 + j))"); done
  t0=$(now_ms)
  "$netlab" exec "$lab" "$from" timeout 60 bash -c '
    mode=$1 src=$2; shift 2
    for target in "$@"; do
      if [ "$mode" = tar ]; then
        tar c -C "$(dirname "$src")" "$(basename "$src")" | nc -N "${target%:*}" "${target#*:}" &
      else
        nc -N "${target%:*}" "${target#*:}" <"$src" &
      fi
    done
    wait' _ "$mode" "$src" "${targets[@]}" >/dev/null || rc=$?
  for j in "${rpids[@]}"; do wait "$j" || rc=$?; done
  local ms=$(($(now_ms) - t0))
  ((rc == 0)) || { echo "plain copy failed or exceeded 60 s (status $rc)" >&2; return 1; }
  echo "$ms"
}

mkdir -p "$work/stage"
pids=()
for ((i = 1; i <= peers; i++)); do
  mkdir -p "$work/p$i" "$work/app$i"
  "$netlab" exec "$lab" "$i" env APPDATA="$work/app$i" "$build/pondard" --headless \
    --name "peer$i" --folder "$work/p$i" >"$work/p$i.log" 2>"$work/p$i.err" &
  pids+=($!)
done
for ((i = 1; i <= peers; i++)); do
  for j in $(others "$i"); do
    wait_for 60 grep -q "● peer$j ($(ip_of "$j"))" "$work/p$i.log" ||
      { echo "peer$i did not find peer$j within 60 s" >&2; exit 1; }
  done
done
echo "eight peers found each other; waiting for the first syncs to settle..."
settle 120 8

# 1. Single saves on peer 1, and the same bytes fanned out by nc.
echo "single saves (${saves} samples, 3.5 s apart)..."
mkdir -p "$work/p1/lat"
sleep 3.5
settle 60 5
mapfile -t before < <(begun_each)
samples=()
lost=0
for ((n = 1; n <= saves; n++)); do
  head -c 4096 /dev/urandom >"$work/stage/$n.bin"
  t0=$(now_ms)
  cp "$work/stage/$n.bin" "$work/p1/lat/$n.bin"
  if wait_for 10 all_have 1 "lat/$n.bin" 4096 2>/dev/null; then
    samples+=($(($(now_ms) - t0)))
  else
    lost=$((lost + 1))
  fi
  all_alive || { echo "a peer died during the saves" >&2; exit 1; }
  sleep 3.5
done
settle 60 8
mapfile -t after < <(begun_each)
save_pulls=()
for ((i = 0; i < peers; i++)); do save_pulls+=($((after[i] - before[i]))); done
base_saves=()
for ((n = 1; n <= saves; n++)); do
  ms=$(fan_out 1 file "$work/stage/$n.bin")
  base_saves+=("$ms")
done

# 2. Bursts on peer 3, each written one file after another by split(1) straight into a new
#    folder; the baseline streams the same folder with tar to the seven at once.
echo "bursts of ${files} files of 4 KiB (${bursts})..."
head -c $((files * 4096)) /dev/urandom >"$work/stage/burst.bin"
mkdir -p "$work/stage/tree/burst"
split -b 4096 -d -a 6 "$work/stage/burst.bin" "$work/stage/tree/burst/f"
sync
tar1=$(fan_out 3 tar "$work/stage/tree/burst")
burst_ms=()
burst_pulls=()
for ((k = 1; k <= bursts; k++)); do
  settle 60 5
  mapfile -t before < <(begun_each)
  t0=$(now_ms)
  mkdir "$work/p3/burst$k"
  split -b 4096 -d -a 6 "$work/stage/burst.bin" "$work/p3/burst$k/f"
  wait_for 60 all_have_tree 3 "burst$k" "$files" 4096 ||
    { echo "burst $k: not complete on all seven within 60 s" >&2; exit 1; }
  burst_ms+=($(($(now_ms) - t0)))
  settle 60 8
  mapfile -t after < <(begun_each)
  for ((i = 0; i < peers; i++)); do
    burst_pulls[i]=$((${burst_pulls[i]:-0} + after[i] - before[i]))
  done
  for j in $(others 3); do
    diff -rq "$work/p3/burst$k" "$work/p$j/burst$k" >/dev/null ||
      echo "   WARNING: burst $k differs on peer$j" >&2
  done
done
tar2=$(fan_out 3 tar "$work/stage/tree/burst")
leftovers=$(find "$work"/p[1-8] -name '*.pondartmp' | wc -l)
all_alive || { echo "a peer died" >&2; exit 1; }
kill -TERM "${pids[@]}"
wait "${pids[@]}" || true

# Pulls per change: "peer<i>: <per change>", then the total per change.
per_change() { # per_change CHANGES COUNTS...
  local changes=$1 i total=0 out=
  shift
  for ((i = 1; i <= $#; i++)); do
    out+=" peer$i $(awk -v c="${!i}" -v n="$changes" 'BEGIN {printf "%.1f", c / n}')"
    total=$((total + ${!i}))
  done
  echo "${out# }; total $(awk -v c="$total" -v n="$changes" 'BEGIN {printf "%.1f", c / n}')" \
    "per change"
}

echo
echo "== eight peers in the lab =="
if ((${#samples[@]} > 0)); then
  echo "1. 4 KiB save on peer 1 until complete on all seven others: median" \
    "$(median "${samples[@]}") ms, max $(max "${samples[@]}") ms of ${#samples[@]};" \
    "${lost} of ${saves} not within 10 s" \
    "(samples: ${samples[*]}); nc of the same bytes to the seven at once: median" \
    "$(median "${base_saves[@]}") ms, max $(max "${base_saves[@]}") ms; ratio of the medians" \
    "$(ratio "$(median "${samples[@]}")" "$(median "${base_saves[@]}")")"
else
  echo "1. 4 KiB save on peer 1: none of ${saves} complete on all seven within 10 s"
fi
echo "2. ${files} x 4 KiB written on peer 3 until complete on all seven others: median" \
  "$(median "${burst_ms[@]}") ms, max $(max "${burst_ms[@]}") ms (${burst_ms[*]}); tar stream" \
  "to the seven at once ${tar1} and ${tar2} ms; ratio of the median to their mean" \
  "$(ratio "$(median "${burst_ms[@]}")" $(((tar1 + tar2) / 2))); ${leftovers} *.pondartmp left"
echo "3. lists pulled per change (syncs begun), a notified peer pulling once = 1.0:"
echo "   saves:  $(per_change "$saves" "${save_pulls[@]}")"
echo "   bursts: $(per_change "$bursts" "${burst_pulls[@]}")"
