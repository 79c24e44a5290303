# Timing helpers for the benchmark scripts that run peers in the network lab (sourced).

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
