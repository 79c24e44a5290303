#!/usr/bin/env bash
# Two real peers in the network lab (needs root), measured end to end, each figure next to the
# baseline a user compares it with, timed in the same run:
#   1. from saving a 1 KiB file on one peer until it is complete on the other (median of 20);
#   2. 1 000 files of 4 KiB brought across: moved in as one folder (the baseline), copied in one
#      by one (`cp *.dat`), and renamed in one by one from beside the share (1 000 renames);
#   3. the folder move again while another program has 1.5 GiB of unwritten data on the same
#      disk, outside both shares (written by dd without a sync), against the same move without
#      it (case 2's); cases 2 and 3 in PONDAR_SYNC_LAB_ROUNDS rounds [3], with median ratios;
#   4. one 1 GiB file, read cold on the sender (its cached pages dropped first), against a plain
#      socket copy of the same file between the same namespaces that also reads it cold and
#      writes and flushes it on the receiver (before and after, their mean);
#   5. the receiving peer's peak resident memory (VmHWM) at the end, what of it the 1 GiB file
#      added, and its anonymous memory (RssAnon; the rest is the pages of the program and its
#      libraries, Qt's among them, that it has touched).
# Usage: bench/sync_lab.sh [--key] [build-dir]   (default build/bench-release, a Release build)
#   --key: everything twice in one run, the peers first plain and then sharing a network key
#   (TLS on every connection), so that the two can be compared.
# PONDAR_BENCH_PREBUILT=1 runs the pondard of build-dir as it is (another checkout's build); the
# timer and the baseline are this checkout's tools (build/bench-release/bench: `arrival`, which
# times by inotify, and `plain_copy`), built here whatever pondard is timed.
# PONDAR_SYNC_LAB_CASES picks cases by name: save (1), many (2 and 3), big (4 and 5); all three
# by default.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lab_timing.sh
lab_keyed_twice "$0" "$@"
build=${1:-build/bench-release}
cases=" ${PONDAR_SYNC_LAB_CASES:-save many big} "
PONDAR_BENCH_PREBUILT='' lab_build build/bench-release plain_copy arrival
lab_build "$build" pondard
plain=build/bench-release/bench/plain_copy
arrival=build/bench-release/bench/arrival
PONDAR_BENCH_PREBUILT=1 lab_start "$build" "pl$$xbench" 2 pondar-bench
lab="$lab_name"
mkdir -p "$work"/{a,b,appa,appb,stage}
lab_share_key "$build" "$work/appa" "$work/appb"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

"$netlab" exec "$lab" 1 env APPDATA="$work/appa" "$build/pondard" --headless --name a \
  --folder "$work/a" >"$work/a.log" 2>"$work/a.err" &
"$netlab" exec "$lab" 2 env APPDATA="$work/appb" "$build/pondard" --headless --name b \
  --folder "$work/b" >"$work/b.log" 2>"$work/b.err" &
wait_for 10 grep -q "● a" "$work/b.log"
pid_b=$(ip netns pids "$lab-p2" | head -n 1)

# 1. Latency of one small save. Samples are spaced beyond the peers' rate windows (2 s local,
#    3 s for notices), so each one is taken up at once.
if [[ $cases == *" save "* ]]; then
samples=()
mkdir -p "$work/a/lat"
sleep 3.2
for i in $(seq 1 20); do
  ms=$("$arrival" --timeout 10 --file "$work/b/lat/$i.txt" --write "$work/a/lat/$i.txt" 1024)
  samples+=("${ms%% *}")
  sleep 3.2
done
echo "1 KiB save to complete on the other peer: median $(median "${samples[@]}") ms (samples: ${samples[*]})"
fi

# 2. and 3. A thousand small files, staged beside the shares on the same disk and written out
#    first (the staging writes' write-back is not the sync's cost), in ROUNDS rounds of the four
#    ways; each ratio is printed per round and as the median of the rounds, as one round's
#    ratio moves by a tenth or two with what else the machine does.
#    The dirty case: the folder move with 1.5 GiB of another program's unwritten data on the same
#    disk. dd runs to its end first, so that only its dirty pages are left, then the move is
#    timed at once, well inside the 30 s after which the kernel writes such pages out by itself.
if [[ $cases == *" many "* ]]; then
rounds=${PONDAR_SYNC_LAB_ROUNDS:-3}
stage_many() { # stage_many NAME: 1 000 files of 4 KiB in $work/stage/NAME
  mkdir -p "$work/stage/$1"
  for i in $(seq 1 1000); do head -c 4096 /dev/urandom >"$work/stage/$1/f$i.dat"; done
}
arrive() { # arrive NAME ACTION...: "ARRIVAL ACTION" milliseconds, from the start of the action
  # until all 1 000 files of NAME are on peer b (nested folders counted), and until the action
  # returned
  local name=$1
  shift
  "$arrival" --timeout 60 --count 1000 "$work/b/$name" "$@"
}
cp_ratios=() renames_ratios=() dirty_ratios=()
for ((r = 1; r <= rounds; r++)); do
  for name in folder cp renames dirty; do stage_many "$name$r"; done
  # The folders the files are copied into are made beforehand, as a user would.
  mkdir -p "$work/a/cp$r" "$work/a/renames$r"
  sync
  sleep 3.2
  read -r folder_ms _ <<<"$(arrive "folder$r" --rename "$work/stage/folder$r" "$work/a/folder$r")"
  sleep 3.2
  read -r cp_ms copy_ms <<<"$(arrive "cp$r" -- sh -c 'cp "$1"/*.dat "$2"/' sh \
    "$work/stage/cp$r" "$work/a/cp$r")"
  sleep 3.2
  read -r renames_ms rename_ms <<<"$(arrive "renames$r" -- perl -e 'my ($from, $to) = @ARGV; opendir(my $d, $from) or die; for (grep { /\.dat$/ } readdir $d) { rename("$from/$_", "$to/$_") or die "$_: $!" }' \
    "$work/stage/renames$r" "$work/a/renames$r")"
  sleep 3.2
  dd if=/dev/zero of="$work/dirty.bin" bs=1M count=1536 status=none
  dirty_mib=$(awk '/^Dirty:/ {printf "%d", $2 / 1024}' /proc/meminfo)
  read -r dirty_ms _ <<<"$(arrive "dirty$r" --rename "$work/stage/dirty$r" "$work/a/dirty$r")"
  rm -f "$work/dirty.bin"
  cp_ratios+=("$(ratio "$cp_ms" "$folder_ms")")
  renames_ratios+=("$(ratio "$renames_ms" "$folder_ms")")
  dirty_ratios+=("$(ratio "$dirty_ms" "$folder_ms")")
  echo "round $r: 1000 x 4 KiB moved in as one folder ${folder_ms} ms; copied in one by one" \
    "(cp *.dat) ${cp_ms} ms, of which the copy itself ${copy_ms} ms, ratio ${cp_ratios[-1]};" \
    "renamed in one by one ${renames_ms} ms, of which the renames ${rename_ms} ms, ratio" \
    "${renames_ratios[-1]}; moved in as one folder with ${dirty_mib} MiB dirty elsewhere on the" \
    "disk ${dirty_ms} ms, ratio ${dirty_ratios[-1]}"
done
echo "1000 x 4 KiB, median ratio of ${rounds} rounds to the folder move: copied in one by one" \
  "$(median "${cp_ratios[@]}"), renamed in one by one $(median "${renames_ratios[@]}"), the" \
  "folder move with 1.5 GiB dirty elsewhere $(median "${dirty_ratios[@]}")"
sync
fi
[[ $cases == *" big "* ]] || exit 0

# 4. One 1 GiB file, and the same bytes by a plain socket copy before and after it. Every run
#    starts alike: dirty pages written out, so that no run pays for an earlier one's write-back,
#    the file's cached pages dropped, so that every run reads it from disk, and the same pause.
#    Each is timed from its start until the file is complete under its final name on peer b.
start_cold() { # start_cold FILE
  sync
  "$plain" drop "$1"
  sleep 3.2
}
plain_copy() { # plain_copy SOURCE TARGET: prints milliseconds from the send until complete
  "$netlab" exec "$lab" 2 "$plain" recv 9099 "$2" >"$work/plain.out" &
  local recv_pid=$! ms
  wait_for 10 grep -q listening "$work/plain.out"
  start_cold "$1"
  ms=$("$netlab" exec "$lab" 1 "$arrival" --timeout 120 --file "$2" -- \
    "$plain" send 10.213.0.2 9099 "$1")
  wait "$recv_pid"
  rm -f "$2"
  echo "${ms%% *}"
}
head -c $((1 << 30)) /dev/urandom >"$work/stage/big.bin"
plain1=$(plain_copy "$work/stage/big.bin" "$work/plain1.bin")
hwm0=$(awk '/VmHWM/ {print $2}' "/proc/$pid_b/status")
start_cold "$work/stage/big.bin"
ms=$("$arrival" --timeout 120 --file "$work/b/big.bin" --rename "$work/stage/big.bin" "$work/a/big.bin")
pondar_ms=${ms%% *}
cmp -s "$work/a/big.bin" "$work/b/big.bin" || echo "WARNING: the copies differ" >&2
hwm=$(awk '/VmHWM/ {print $2}' "/proc/$pid_b/status")
anon=$(awk '/RssAnon/ {print $2}' "/proc/$pid_b/status")
plain2=$(plain_copy "$work/a/big.bin" "$work/plain2.bin")
plain_ms=$(awk -v a="$plain1" -v b="$plain2" 'BEGIN {print (a + b) / 2}')
echo "1 GiB: pondar ${pondar_ms} ms (from the move until complete), plain socket copy (cold" \
  "read, flushed) ${plain1} and ${plain2} ms; ratio to their mean $(ratio "$pondar_ms" "$plain_ms")"
echo "receiving peer's peak resident memory: $((hwm / 1024)) MiB (${hwm} KiB), of which the" \
  "1 GiB file added $((hwm - hwm0)) KiB; anonymous memory at the end ${anon} KiB"
