#!/usr/bin/env bash
# CPU cost of the remote link: two units on loopback (a station, WebSocket 1,
# and an operator unit, WebSocket 2, each with its own simulated controller),
# connected and idle, plain and inside TLS (RemoteTls: 1 on both), against the
# same two units with the link off. Measured
# from /proc/<pid>/stat (utime + stime) over a window after the start-up, as
# a percentage of one core per unit.
#
#   bench/cpu_remote_pair.sh [build-dir] [seconds]     (defaults: build, 30)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
window=${2:-30}
for f in "$build/ombrix" "$build/sim/ombrix-sim" "$build/sim/ombrix-sim-controller"; do
  [ -x "$f" ] || { echo "cpu_remote_pair: $f missing: build first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/ombrix-bench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

# unit ROOT ROLE: a root whose setup runs the controller link, the refresh
# loop and the remote link in ROLE ('0' off, '1' server, '2' client).
unit() {
  local root=$1 role=$2
  mkdir -p "$root"
  "$build/sim/ombrix-sim" --prepare --mode gen --root "$root" >/dev/null
  printf 'EnableKeyb: 0\nEnableGPIO: 0\nEnableRead: 0\nEnableWrite: 0\nEnableCAT: 0\nEnableFFT: 0\nEnableLinear: 1\nEnableTime: 1\nLinPort: /dev/ttyAMA0\nWebSocket: %s\nServer: 127.0.0.1\nTcpPort: %s\n' \
    "$role" "$port" >"$root/opt/set/setup.txt"
  printf 'Password: bench-pair\nRemoteTls: %s\n' "$tls" >"$root/opt/set/remote.txt"
  "$build/sim/ombrix-sim-controller" --root "$root" --quiet &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$root/dev/ttyAMA0" ] && break; sleep 0.1; done
  OMBRIX_ROOT="$root" "$build/ombrix" >"$root/sim/ombrix.log" 2>&1 &
  pids+=($!)
  last_pid=$!
}

ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
hz=$(getconf CLK_TCK)

# measure LABEL ROLE_A ROLE_B [TLS]
measure() {
  local label=$1
  tls=${4:-0}
  pids=()
  rm -rf "$work/a" "$work/b"
  unit "$work/a" "$2"
  local a=$last_pid
  unit "$work/b" "$3"
  local b=$last_pid
  for _ in $(seq 300); do grep -q "Loading ... 0" "$work/b/sim/ombrix.log" && break; sleep 0.1; done
  if [ "$2" != 0 ]; then
    for _ in $(seq 300); do grep -q "Websocket Connected" "$work/b/sim/ombrix.log" && break; sleep 0.1; done
  fi
  sleep 3
  local a0 b0 a1 b1
  a0=$(ticks "$a"); b0=$(ticks "$b")
  sleep "$window"
  a1=$(ticks "$a"); b1=$(ticks "$b")
  awk -v l="$label" -v a=$((a1 - a0)) -v b=$((b1 - b0)) -v hz="$hz" -v w="$window" 'BEGIN {
    printf "%s: station %.2f%%, operator %.2f%% of one core over %d s\n", l, a / hz / w * 100, b / hz / w * 100, w
  }'
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}

measure "link off" 0 0
measure "connected, idle" 1 2
measure "connected over TLS, idle" 1 2 1
