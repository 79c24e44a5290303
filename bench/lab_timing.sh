# What the benchmark scripts that run peers in the network lab share (sourced): timing
# helpers, and the start of a lab run.

now_ms() { echo $(($(date +%s%N) / 1000000)); }

wait_for() { # wait_for SECONDS COMMAND... : polls every 2 ms
  local deadline=$(($(now_ms) + $1 * 1000))
  shift
  until "$@"; do
    (($(now_ms) < deadline)) || { echo "timed out waiting for: $*" >&2; return 1; }
    sleep 0.002
  done
}

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2}'; }

# lab_start BUILD LAB N WORK-PREFIX : installs nc when missing, builds a Release pondard into
# BUILD, brings up lab LAB of N peers and makes the work folder; sets $netlab and $work, and
# takes the lab and the folder down on exit (PONDAR_BENCH_KEEP keeps the folder).
# PONDAR_BENCH_PREBUILT=1 takes BUILD as it is, built elsewhere (another checkout's build, to
# time it against this one with the same script).
lab_build() { # lab_build BUILD TARGET... : a Release build of the targets, unless prebuilt
  [ -n "${PONDAR_BENCH_PREBUILT:-}" ] && return 0
  local build=$1
  shift
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPONDAR_BENCH=ON -DPONDAR_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target "$@" >/dev/null
}
lab_start() {
  if ! command -v nc >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q netcat-openbsd >/dev/null ||
      { echo "nc is missing and netcat-openbsd could not be installed" >&2; exit 1; }
  fi
  lab_build "$1" pondard
  lab_name=$2
  work=$(mktemp -d "/var/tmp/$4-XXXXXX")
  netlab=tests/lab/netlab.sh
  trap lab_cleanup EXIT
  "$netlab" up "$lab_name" "$3" >/dev/null
}
lab_cleanup() {
  "$netlab" down "$lab_name" >/dev/null 2>&1 || true
  [ -n "${PONDAR_BENCH_KEEP:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}

# lab_keyed_twice SCRIPT ARGS... : when ARGS start with --key, runs SCRIPT with the rest of them
# twice, plain and then with a network key on every peer (PONDAR_BENCH_KEYED=0, then 1), so
# that the two are timed in one run, and exits; otherwise returns.
lab_keyed_twice() {
  [ "${2:-}" = --key ] || return 0
  local script=$1
  shift 2
  echo "== plain"
  PONDAR_BENCH_KEYED=0 "$script" "$@"
  echo "== keyed"
  PONDAR_BENCH_KEYED=1 "$script" "$@"
  exit
}
# lab_share_key BUILD APPDATA... : in a keyed run, one new key in the settings of each peer
# whose APPDATA folder is named.
lab_share_key() {
  [ "${PONDAR_BENCH_KEYED:-0}" = 1 ] || return 0
  local key app
  key=$("$netlab" exec "$lab_name" 1 "$1/pondard" --new-key)
  shift
  for app in "$@"; do
    mkdir -p "$app/Pondar"
    printf '[Network]\nKey=%s\n' "$key" >"$app/Pondar/pondard.ini"
  done
}
