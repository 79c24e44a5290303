#!/usr/bin/env bash
# A throw-away network for multi-peer tests, built from network namespaces (needs root).
#
#   netlab.sh up LAB N       build LAB: a hub namespace "LAB-hub" holding a bridge, and N peer
#                            namespaces "LAB-p1".."LAB-pN", each joined to the bridge by a veth
#                            pair. Peer i has 10.213.0.i/24 on its "plv<i>" interface, and the
#                            limited broadcast 255.255.255.255 is routed out of that interface,
#                            so a broadcast sent in one peer reaches every other peer.
#                            An existing LAB of that name is removed first.
#   netlab.sh up LAB N NETS  the same with a second bridge: NETS names, comma-separated, the
#                            networks of each peer in turn: "a" (the bridge above), "b" (a
#                            second bridge, where peer i has 10.214.0.i/24 on "plvb<i>") or "ab"
#                            (both). 255.255.255.255 is routed out of the peer's first interface
#                            only, as a host's routing table picks one for it.
#   netlab.sh exec LAB I CMD...   run CMD in peer I (I = 0 means the hub).
#   netlab.sh down LAB       kill every process left in LAB's namespaces and remove them.
#   netlab.sh sweep          remove every lab whose owner has died (see names below).
#   netlab.sh check          prove that namespaces can be made here (creates and removes one).
#
# A LAB name is letters, digits and '_', starting with a letter ("demo" by hand). Tests use
# "pl<pid>x<tag>": <pid> is the owning process, <tag> is empty or letters and digits. Such a lab
# is stale once that process is gone (or the pid now belongs to a process started after the lab
# was); sweep removes only labs named so, so it never touches a namespace a test did not make.
# "down LAB" removes the namespaces "LAB-hub" and "LAB-p<number>". All commands are idempotent.
#
# Nothing here touches the namespace the script runs in: the veth pairs are created inside the
# hub namespace and one end is moved straight into the peer's namespace.

set -u
# Root's tools live in sbin, which a test runner's PATH does not always hold.
export PATH="$PATH:/usr/sbin:/sbin"

readonly NETLAB_SUBNET="10.213.0"
readonly NETLAB_SUBNET_B="10.214.0"
readonly NETLAB_STATE="/run/pondar-netlab"
readonly LAB_RE='^pl([0-9]+)x[0-9A-Za-z]*$'

die() {
  echo "netlab: $*" >&2
  exit 1
}

check_lab_name() {
  [[ "$1" =~ ^[A-Za-z][A-Za-z0-9_]*$ ]] || die "bad lab name '$1' (letters, digits, '_')"
  # Interface names stay inside the peers' namespaces, but keep namespace names short anyway.
  ((${#1} <= 24)) || die "lab name '$1' is too long"
}

lab_namespaces() {
  # Every namespace of lab $1, hub last so that peers go first.
  ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^$1-p[0-9]+\$"
  ip netns list 2>/dev/null | awk '{print $1}' | grep -Fx "$1-hub"
}

# Field 22 of /proc/PID/stat: the process start time, which tells a reused pid apart.
start_time_of() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  # After the command name, field 3 is the first; the start time is field 22.
  set -- $stat
  echo "${20}"
}

kill_namespace_processes() {
  local ns=$1 pids pass
  for pass in 1 2 3 4 5 6 7 8 9 10; do
    pids=$(ip netns pids "$ns" 2>/dev/null | tr '\n' ' ')
    [[ -z "${pids// /}" ]] && return 0
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null
    sleep 0.05
  done
  return 0
}

cmd_down() {
  local lab=$1 ns
  check_lab_name "$lab"
  for ns in $(lab_namespaces "$lab"); do
    kill_namespace_processes "$ns"
  done
  for ns in $(lab_namespaces "$lab"); do
    ip netns delete "$ns" 2>/dev/null || true
  done
  rm -f "$NETLAB_STATE/$lab"
  [[ -z "$(lab_namespaces "$lab")" ]] || die "could not remove every namespace of $lab"
}

# Joins peer namespace $2 to the bridge $3 in hub $1 by a veth pair whose ends are $4 (in the
# hub) and $5 (in the peer), and gives the peer's end the address $6/24.
join_bridge() {
  local hub=$1 ns=$2 bridge=$3 hubEnd=$4 peerEnd=$5 addr=$6
  ip -n "$hub" link add "$hubEnd" type veth peer name "$peerEnd" netns "$ns"
  ip -n "$hub" link set "$hubEnd" master "$bridge"
  ip -n "$hub" link set "$hubEnd" up
  ip -n "$ns" addr add "$addr/24" dev "$peerEnd"
  ip -n "$ns" link set "$peerEnd" up
}

cmd_up() {
  local lab=$1 n=$2 owner started i ns hub first
  local -a nets=()
  check_lab_name "$lab"
  [[ "$n" =~ ^[0-9]+$ ]] && ((n >= 1 && n <= 200)) || die "peer count must be 1..200"
  if (($# >= 3)); then
    [[ "$3" =~ ^(a|b|ab)(,(a|b|ab))*$ ]] || die "networks must be a, b or ab, comma-separated"
    IFS=, read -r -a nets <<<"$3"
    ((${#nets[@]} == n)) || die "networks given for ${#nets[@]} peers, not $n"
  else
    for ((i = 0; i < n; i++)); do nets+=(a); done
  fi
  cmd_down "$lab"

  # Remember which process owns a test lab, so that sweep can tell a reused pid.
  if [[ "$lab" =~ $LAB_RE ]]; then
    owner=${BASH_REMATCH[1]}
    mkdir -p "$NETLAB_STATE"
    if started=$(start_time_of "$owner"); then
      echo "$owner $started" >"$NETLAB_STATE/$lab"
    fi
  fi

  hub="$lab-hub"
  # From here on a failure leaves half a lab: remove it before reporting.
  trap 'cmd_down "$lab" >/dev/null 2>&1; die "building $lab failed"' ERR
  set -E
  ip netns add "$hub"
  ip -n "$hub" link set lo up
  ip -n "$hub" link add plbr type bridge forward_delay 0 stp_state 0
  ip -n "$hub" link set plbr up
  if [[ " ${nets[*]} " == *b* ]]; then
    ip -n "$hub" link add plbrb type bridge forward_delay 0 stp_state 0
    ip -n "$hub" link set plbrb up
  fi
  for ((i = 1; i <= n; i++)); do
    ns="$lab-p$i"
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    first=
    if [[ "${nets[i - 1]}" == *a* ]]; then
      join_bridge "$hub" "$ns" plbr "plh$i" "plv$i" "$NETLAB_SUBNET.$i"
      first="plv$i"
    fi
    if [[ "${nets[i - 1]}" == *b* ]]; then
      join_bridge "$hub" "$ns" plbrb "plhb$i" "plvb$i" "$NETLAB_SUBNET_B.$i"
      first=${first:-plvb$i}
    fi
    # Without a route for it, a send to 255.255.255.255 fails with "network unreachable".
    ip -n "$ns" route add 255.255.255.255/32 dev "$first"
  done
  trap - ERR
  set +E
}

cmd_exec() {
  local lab=$1 i=$2
  shift 2
  check_lab_name "$lab"
  [[ "$i" =~ ^[0-9]+$ ]] || die "peer index must be a number"
  (($# > 0)) || die "exec needs a command"
  if ((i == 0)); then
    exec ip netns exec "$lab-hub" "$@"
  fi
  exec ip netns exec "$lab-p$i" "$@"
}

cmd_sweep() {
  local ns lab owner recorded now
  declare -A seen=()
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}'); do
    lab=${ns%-*}
    [[ "$lab" =~ $LAB_RE ]] || continue
    owner=${BASH_REMATCH[1]}
    [[ "$ns" == "$lab-hub" || "$ns" =~ ^$lab-p[0-9]+$ ]] || continue
    [[ -n "${seen[$lab]:-}" ]] && continue
    seen[$lab]=1
    if now=$(start_time_of "$owner"); then
      recorded=$(awk '{print $2}' "$NETLAB_STATE/$lab" 2>/dev/null)
      # Owner alive and the same process as recorded (or nothing recorded): keep the lab.
      [[ -z "$recorded" || "$recorded" == "$now" ]] && continue
    fi
    echo "netlab: removing stale lab $lab" >&2
    cmd_down "$lab"
  done
  # State files of labs whose namespaces are already gone.
  for lab in "$NETLAB_STATE"/*; do
    [[ -e "$lab" ]] || continue
    lab=${lab##*/}
    [[ -z "$(lab_namespaces "$lab" 2>/dev/null)" ]] && rm -f "$NETLAB_STATE/$lab"
  done
  return 0
}

cmd_check() {
  local probe="pl$$xcheck"
  (($(id -u) == 0)) || die "needs root"
  command -v ip >/dev/null || die "the 'ip' command (iproute2) is missing"
  ip netns add "$probe" 2>/dev/null || die "cannot create a network namespace"
  local rc=0
  ip netns exec "$probe" true 2>/dev/null || rc=1
  # Bridge and veth drivers, tried inside the probe so that nothing outside it changes.
  ip -n "$probe" link add plbr type bridge 2>/dev/null || rc=2
  ip -n "$probe" link add plh1 type veth peer name plv1 2>/dev/null || rc=3
  ip netns delete "$probe" 2>/dev/null
  case $rc in
    1) die "cannot run a command in a network namespace" ;;
    2) die "cannot create a bridge (bridge driver missing?)" ;;
    3) die "cannot create a veth pair (veth driver missing?)" ;;
  esac
  return 0
}

main() {
  (($# >= 1)) || die "usage: netlab.sh up LAB N [NETS] | exec LAB I CMD... | down LAB | sweep | check"
  local cmd=$1
  shift
  case "$cmd" in
    up) (($# == 2 || $# == 3)) || die "usage: netlab.sh up LAB N [NETS]"; cmd_up "$@" ;;
    exec) (($# >= 3)) || die "usage: netlab.sh exec LAB I CMD..."; cmd_exec "$@" ;;
    down) (($# == 1)) || die "usage: netlab.sh down LAB"; cmd_down "$1" ;;
    sweep) (($# == 0)) || die "usage: netlab.sh sweep"; cmd_sweep ;;
    check) cmd_check ;;
    *) die "unknown command '$cmd'" ;;
  esac
}

main "$@"
