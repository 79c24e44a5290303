#!/usr/bin/env bash
# Screen broadcasting from a Wayland desktop through the portal (needs root, and the lab's
# desktop: dbus-daemon, pipewire, wireplumber, from scripts/install-deps.sh):
#   1. PortalBench: a 1920 x 1080 PipeWire buffer turned into the encoder's input, against a
#      memcpy of the same bytes in the same run;
#   2. CPU time (utime + stime) over 60 s of a peer broadcasting a 1920 x 1080 screen that does
#      not change, to a watching peer, beside a peer that does not broadcast: with the lab's
#      test picture (the worst case: no two pixels alike), with a desktop-like picture, and with
#      that picture and nobody watching (the capture's own cost).
# The desktop is tests/programs/fake_desktop, which, like a compositor, sends a picture only
# when something changed.
# Usage: bench/portal_lab.sh [build-dir]   (default build/bench-release, a Release build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPONDAR_BENCH=ON -DPONDAR_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target pondard fake_desktop screen_viewer_peer PortalBench \
  >/dev/null

echo "== 1. PipeWire buffer to the encoder's input"
"$build/bench/PortalBench" --benchmark_report_aggregates_only=true

source bench/lab_timing.sh
lab="pl$$xportal"
work=$(mktemp -d /var/tmp/pondar-bench-XXXXXX)
netlab=tests/lab/netlab.sh
cleanup() {
  "$netlab" down "$lab" >/dev/null 2>&1 || true
  [ -n "${PONDAR_BENCH_KEEP:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
"$netlab" up "$lab" 3 >/dev/null
run="$work/run"
mkdir -p "$run" "$work"/{app/Pondar,idle,appidle}
chmod 700 "$run"
desk_env=(XDG_RUNTIME_DIR="$run" DBUS_SESSION_BUS_ADDRESS="unix:path=$run/bus"
  XDG_STATE_HOME="$run" XDG_CONFIG_HOME="$run")
in_desk() { "$netlab" exec "$lab" 1 env "${desk_env[@]}" "$@"; }
in_desk dbus-daemon --session --nofork --nopidfile --address="unix:path=$run/bus" \
  >"$work/dbus.log" 2>&1 &
wait_for 30 test -S "$run/bus"
in_desk pipewire >"$work/pipewire.log" 2>&1 &
wait_for 30 test -S "$run/pipewire-0"
in_desk wireplumber >"$work/wireplumber.log" 2>&1 &
in_desk "$build/tests/fake_desktop" "$run/commands" 1920 1080 BGRx >"$work/desktop.log" \
  2>&1 &
wait_for 30 grep -q '^ready' "$work/desktop.log"

printf '[Screen]\nBroadcast=1\n' >"$work/app/Pondar/pondard.ini"
# Not through in_desk: $! must be the peer itself (netlab.sh execs into it), not a subshell.
"$netlab" exec "$lab" 1 env "${desk_env[@]}" APPDATA="$work/app" XDG_SESSION_TYPE=wayland \
  "$build/pondard" --headless --name desk --folder "$work/idle" >"$work/desk.log" \
  2>"$work/desk.err" &
pid_desk=$!
"$netlab" exec "$lab" 3 env APPDATA="$work/appidle" "$build/pondard" --headless --name idle \
  --folder "$work/idle" >"$work/idle.log" 2>"$work/idle.err" &
pid_idle=$!
"$netlab" exec "$lab" 2 env PONDAR_LAB_IFPREFIX=plv "$build/tests/screen_viewer_peer" eyes 7731 \
  7732 "$work/shot" >"$work/eyes.log" 2>&1 &
pid_eyes=$!
wait_for 60 grep -q "key desk 1920 1080" "$work/eyes.log"
wait_for 20 grep -q "● idle" "$work/desk.log"
sleep 5  # the first exchange of lists is over

cpu_ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$1/stat"; }  # utime + stime
hz=$(getconf CLK_TCK)
# measure LABEL: CPU seconds of the broadcasting peer and of the one that does not broadcast
# over 60 s, and the key frames the watcher got meanwhile.
measure() {
  local keys0 d0 i0 d1 i1 keys
  keys0=$(grep -c "key desk" "$work/eyes.log")
  d0=$(cpu_ticks "$pid_desk")
  i0=$(cpu_ticks "$pid_idle" 2>/dev/null || echo gone)
  sleep 60
  d1=$(cpu_ticks "$pid_desk")
  i1=$(cpu_ticks "$pid_idle" 2>/dev/null || echo gone)
  keys=$(($(grep -c "key desk" "$work/eyes.log") - keys0))
  [ "$i0" = gone ] || [ "$i1" = gone ] && i0=0 i1=-1
  awk -v what="$1" -v d=$((d1 - d0)) -v i=$((i1 - i0)) -v hz="$hz" -v keys="$keys" 'BEGIN {
    printf "%s: broadcasting peer %.2f s", what, d / hz
    if (i >= 0) printf ", peer without broadcast %.2f s", i / hz
    printf " (%d key frames seen)\n", keys }'
}
echo "== 2. CPU over 60 s, the screen unchanged"
# The test picture differs in every pixel: its key frame is 4.3 MB, the worst a screen can do.
measure "test picture (key frame 4.3 MB), watched"
# What a desktop shows most of the time: flat areas, a bar, two windows.
for fill in "0 0 1920 1080 2e3440" "0 1040 1920 40 3b4252" "120 80 900 640 eceff4" \
  "1100 200 700 520 ffffff"; do
  echo "fill $fill" >"$run/commands"
done
sleep 6  # the next key frame carries the new picture
measure "desktop-like picture, watched"
kill -TERM "$pid_idle" "$pid_eyes"
wait "$pid_idle" "$pid_eyes" || true
sleep 2  # their goodbyes are in
measure "desktop-like picture, nobody watching (frames made, none sent)"
if grep -q "unavailable" "$work/desk.log"; then
  echo "the broadcast failed:" >&2
  cat "$work/desk.log" >&2
  exit 1
fi
grep -q "Screen broadcast started (Wayland" "$work/desk.log" ||
  { echo "the peer does not broadcast through the portal" >&2; exit 1; }
kill -TERM "$pid_desk"
wait "$pid_desk" || true
