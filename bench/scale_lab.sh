#!/usr/bin/env bash
# Two real peers in the network lab (needs root) holding a large share, measured end to end,
# each figure next to a baseline timed in the same run:
#   1. first sync: FILES files of 1 KiB in FOLDERS folders, built in a staging folder on the same
#      filesystem and moved into peer a's folder at once, until all of them are on peer b
#      (files named *.pondartmp, downloads in progress, are not counted); against two baselines,
#      each timed once before the peers sync and once after they are stopped: a plain `tar`
#      stream of the same tree over one TCP connection between the same two namespaces (nc),
#      and the durable plain copy, that stream followed by `sync` (a download is flushed to disk
#      before it takes its name, so this is the copy that promises as much);
#   2. with the tree in place on both sides: a 1 KiB save on peer a until complete on peer b,
#      SAVES samples spaced beyond the rate windows (3.2 s apart): median, and how many did not
#      arrive within 10 s; and the file lists pulled per save, counted as the lines that open a
#      sync ("⇄ name...") in each peer's log over the saves (one on peer b and none on peer a
#      per save is the least there can be);
#   3. a sync that finds nothing to do, with the tree in place on both sides: a "changes" notice
#      (the type byte 4) sent to peer b from peer a's namespace, until b's log gains the line
#      "✓ Up to date"; NOOPS samples at least 3.5 s apart (one notice per 3 s window is taken
#      up at once), median; against pulling peer a's list once with a raw client from peer b's
#      namespace (the type byte 1, the whole reply read, about 10 MB at 100 000 files),
#      interleaved with the samples;
#   4. peak resident memory (VmHWM) of both peers at the end;
#   5. CPU time (utime + stime) of both peers over IDLE seconds with nothing to do.
# Every phase has a time limit, so a hang ends with a message rather than running forever.
# Usage: bench/scale_lab.sh [--key] [build-dir]   (default build/bench-release, a Release build)
#   --key: everything twice in one run, the peers first plain and then sharing a network key
#   (TLS on every connection). Phase 3 is left out with the key: its raw notice and raw pull
#   speak the plain protocol, which a keyed peer refuses.
# Environment (defaults in brackets):
#   PONDAR_SCALE_FILES [100000]    files in the tree
#   PONDAR_SCALE_FOLDERS [1000]    folders they are spread over
#   PONDAR_SCALE_SAVES [20]        samples of the single save
#   PONDAR_SCALE_NOOPS [5]         samples of the sync with nothing to do, and of the raw pull
#   PONDAR_SCALE_IDLE [30]         seconds of idle CPU measured
#   PONDAR_SCALE_LIMIT [900]       time limit in seconds of the first sync and of each tar stream
#                                  (every other wait has a limit of its own: 10 s for a save,
#                                  30 s for a sync with nothing to do and for a raw pull)
#   PONDAR_SCALE_POLL [0.5]        seconds between two counts of the files on peer b (a count
#                                  walks the whole tree, ~75 ms at 100 000 files, so it is
#                                  not done every 2 ms: the first sync is timed to this step)
#   PONDAR_BENCH_KEEP              if set, the work folder (trees, logs) is kept
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lab_timing.sh
lab_keyed_twice "$0" "$@"
keyed=${PONDAR_BENCH_KEYED:-0}
build=${1:-build/bench-release}
files=${PONDAR_SCALE_FILES:-100000}
folders=${PONDAR_SCALE_FOLDERS:-1000}
saves=${PONDAR_SCALE_SAVES:-20}
noops=${PONDAR_SCALE_NOOPS:-5}
[ "$keyed" = 1 ] && noops=0
idle=${PONDAR_SCALE_IDLE:-30}
limit=${PONDAR_SCALE_LIMIT:-900}
poll=${PONDAR_SCALE_POLL:-0.5}
((files >= folders && folders >= 1)) || { echo "need FILES >= FOLDERS >= 1" >&2; exit 2; }

lab_start "$build" "pl$$xscale" 2 pondar-scale
lab="$lab_name"
mkdir -p "$work"/{a,b,appa,appb,stage}
lab_share_key "$build" "$work/appa" "$work/appb"

hz=$(getconf CLK_TCK)
count_files() { { find "$1" -type f ! -name '*.pondartmp' 2>/dev/null || true; } | wc -l; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
seconds() { awk -v ms="$1" 'BEGIN {printf "%.2f", ms / 1000}'; }
mib() { awk '/^'"$1"':/ {printf "%.1f", $2 / 1024}' "/proc/$2/status"; }
cpu_ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$1/stat"; }  # utime + stime
alive() { [ "$(cat "/proc/$1/comm" 2>/dev/null)" = pondard ]; }
# The logs grow by a line per file received (100 000 after the first sync), so what a phase
# added is read from the byte offset it started at, never the whole log again.
log_size() { stat -c %s "$1"; }
log_since() { tail -c +$(($2 + 1)) "$1"; }
# Lines that open a sync, one per list pulled ("⇄ name..."; "⇄ Clipboard ..." is not one).
syncs_since() { { log_since "$1" "$2" | grep -c -- '⇄ .*\.\.\.$' || true; }; }
# said_since LOG OFFSET PATTERN: a line after OFFSET matches (grep's status alone, so that a
# writer cut short by grep's early exit does not count against it).
said_since() { grep -q -- "$3" < <(log_since "$1" "$2"); }
port=7732  # the peers' TCP port: the default
# quiet_for SECONDS LIMIT: waits until neither peer's log has grown over SECONDS, for LIMIT
# seconds at most.
quiet_for() {
  local deadline=$(($(now_ms) + $2 * 1000)) a b
  while (($(now_ms) < deadline)); do
    a=$(log_size "$work/a.log")
    b=$(log_size "$work/b.log")
    sleep "$1"
    [ "$a" = "$(log_size "$work/a.log")" ] && [ "$b" = "$(log_size "$work/b.log")" ] && return 0
  done
  echo "the peers' logs did not stay quiet for $1 s within $2 s" >&2
  return 1
}

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
# The new folder is a local change of its own, and the end of the first sync may bring late
# ones (a file of the moved tree reported again); their notices reach peer b a second or more
# after the event, and a notice held back in b's window starts a new window when it is taken
# up. So the first save waits until peer a has taken up the folder and both logs have been
# quiet for longer than the windows.
lat_from=$(log_size "$work/a.log")
mkdir -p "$work/a/lat"
wait_for 10 said_since "$work/a.log" "$lat_from" '△ lat$' || true
quiet_for 3.5 30 || true
samples=()
lost=0
samples_lost=
saves_a0=$(log_size "$work/a.log")
saves_b0=$(log_size "$work/b.log")
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
# The 3.2 s after the last save are enough for its sync to end (it has arrived).
pulls_a=$(syncs_since "$work/a.log" "$saves_a0")
pulls_b=$(syncs_since "$work/b.log" "$saves_b0")

# 3. Syncs with nothing to do, each started by a notice from peer a's namespace, as peer a
#    sends it, and timed to the line that ends it in peer b's log; each after a raw pull of the
#    same list. Both go through the same `netlab exec` and nc, so their start-up costs alike.
echo "syncs with nothing to do (${noops} samples, and as many raw list pulls)..."
noop_ms=()
noop_other=0
pull_ms=()
pull_bytes=0
pull_bad=0
for i in $(seq 1 "$noops"); do
  t0=$(now_ms)
  if "$netlab" exec "$lab" 2 timeout 30 bash -c 'printf "\x01" | nc -N "$1" "$2" >"$3"' _ \
    10.213.0.1 "$port" "$work/list.bin"; then
    ms=$(($(now_ms) - t0))
    # The reply is a 4-byte little-endian length, then as many bytes.
    bytes=$(stat -c %s "$work/list.bin")
    len=$(od -An -tu4 -N4 "$work/list.bin" | tr -d ' ')
    if ((bytes > 4 && bytes == ${len:-0} + 4)); then
      pull_ms+=("$ms")
      pull_bytes=$bytes
    else
      pull_bad=$((pull_bad + 1))
    fi
  else
    pull_bad=$((pull_bad + 1))
  fi
  rm -f "$work/list.bin"
  sleep 0.5

  from=$(log_size "$work/b.log")
  t0=$(now_ms)
  "$netlab" exec "$lab" 1 timeout 10 bash -c 'printf "\x04" | nc -N "$1" "$2"' _ \
    10.213.0.2 "$port" || true
  line=
  while :; do
    line=$(grep -m1 -- '] ✓ ' < <(log_since "$work/b.log" "$from") || true)
    [ -n "$line" ] && break
    if (($(now_ms) - t0 > 30000)); then
      echo "  sample $i: no sync ended on peer b within 30 s of the notice" >&2
      break
    fi
    sleep 0.002
  done
  if [[ "$line" == *"✓ Up to date"* ]]; then
    noop_ms+=($(($(now_ms) - t0)))
  else
    noop_other=$((noop_other + 1))
    [ -n "$line" ] && echo "  sample $i: the sync did something: ${line}" >&2
  fi
  sleep 3
done

# 4 and 5. Idle CPU once the last notice's rate window is over, then the peak memory.
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
durable1=$((tar1 + tar1_sync))
durable2=$((tar2 + tar2_sync))
echo "1. first sync, from the move until all are on peer b: pondar $(seconds "$pondar_ms") s;" \
  "baselines (before / after the peers): plain tar stream $(seconds "$tar1") /" \
  "$(seconds "$tar2") s, ratio to their mean $(ratio "$pondar_ms" "$tar_ms");" \
  "durable plain copy (the stream, then sync) $(seconds "$durable1") /" \
  "$(seconds "$durable2") s, ratio to their mean" \
  "$(ratio "$pondar_ms" $(((durable1 + durable2) / 2)))"
((differ == 0)) || echo "   WARNING: ${differ} differences between the two copies of the tree"
if ((${#samples[@]} > 0)); then
  echo "2. 1 KiB save until complete on peer b: median $(median "${samples[@]}") ms of" \
    "${#samples[@]} arrived; ${lost} of ${saves} not within 10 s${samples_lost:+ (#${samples_lost# })}" \
    "(samples: ${samples[*]}); ${arrived} of ${saves} on peer b at the end"
else
  echo "2. 1 KiB save until complete on peer b: none of ${saves} arrived within 10 s;" \
    "${arrived} of ${saves} on peer b at the end"
fi
echo "   lists pulled over the ${saves} saves (syncs begun): peer b ${pulls_b}" \
  "($(ratio "$pulls_b" "$saves") per save), peer a ${pulls_a} ($(ratio "$pulls_a" "$saves") per save)"
if ((${#noop_ms[@]} > 0 && ${#pull_ms[@]} > 0)); then
  noop_med=$(median "${noop_ms[@]}")
  pull_med=$(median "${pull_ms[@]}")
  echo "3. sync with nothing to do, notice until \"✓ Up to date\" on peer b: median" \
    "${noop_med} ms (samples: ${noop_ms[*]}); raw pull of peer a's list (${pull_bytes} bytes):" \
    "median ${pull_med} ms (samples: ${pull_ms[*]}); ratio $(ratio "$noop_med" "$pull_med");" \
    "${noop_other} of ${noops} syncs ended otherwise or not at all, ${pull_bad} raw pulls failed"
elif [ "$keyed" = 1 ]; then
  echo "3. sync with nothing to do: not measured with a key (raw notices and pulls are plain)"
else
  echo "3. sync with nothing to do: ${#noop_ms[@]} of ${noops} samples ended \"Up to date\";" \
    "${#pull_ms[@]} of ${noops} raw pulls succeeded: no ratio"
fi
echo "4. peak resident memory (VmHWM): peer a (sender) ${hwm_a} MiB, peer b (receiver)" \
  "${hwm_b} MiB; resident at the end ${rss_a} / ${rss_b} MiB"
awk -v a=$((a1 - a0)) -v b=$((b1 - b0)) -v hz="$hz" -v s="$idle" 'BEGIN {
  printf "5. CPU over %d s with nothing to do: peer a %.2f s, peer b %.2f s, both %.2f s\n",
    s, a / hz, b / hz, (a + b) / hz }'
