#!/usr/bin/env bash
# CPU use of ombrix with the web panel: the simulator's launcher runs it with
# its display; the program's utime + stime from /proc/<pid>/stat over a
# window after the start-up, as a percentage of one core, in four runs:
# panel off, panel on with nobody watching, and one viewer asking for ten
# frames a second and logging in once a second while the controller's
# forward reading changes ten times a second (the needle moves, so nearly
# every frame is new and encoded), over HTTPS and over plain HTTP
# (WebTls: 0).
#
#   bench/web_panel_cpu.sh [build-dir] [seconds]     (defaults: build, 30)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
window=${2:-30}
[ -x "$build/sim/ombrix-sim" ] || { echo "web_panel_cpu: build first" >&2; exit 1; }

ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
hz=$(getconf CLK_TCK)
port=$((20000 + RANDOM % 20000))

run() {  # run NAME WEBPORT VIEWER(0/1) [TLS(1/0)]
  local name=$1 web=$2 viewer=$3 tls=${4:-1} root sim_pid app_pid out
  root=$(mktemp -d /tmp/ombrix-webcpu-XXXXXX)
  out="$root.out"
  : >"$out"
  if [ "$tls" = 0 ]; then
    "$build/sim/ombrix-sim" --root "$root" --mode gen --prepare >/dev/null
    echo "WebTls: 0" >>"$root/opt/set/remote.txt"
  fi
  "$build/sim/ombrix-sim" --root "$root" --mode gen --web-port "$web" </dev/null >"$out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 600); do grep -q '!!!mykivo' "$out" && break; sleep 0.1; done
  sleep 3
  app_pid=$(pgrep -P "$sim_pid" -x ombrix)
  local phrase
  phrase=$(sed -n 's/.*(pass phrase \([^)]*\)).*/\1/p' "$out" | head -1)
  local drive_pid= viewer_pid=
  if [ "$viewer" = 1 ]; then
    # The controller's forward reading moves every 100 ms: the needle moves.
    (v=500; end=$((SECONDS + window + 2)); while [ $SECONDS -lt $end ]; do
       echo "set fwd $v" >"$root/sim/controller.ctl"; v=$(( v % 3000 + 250 )); sleep 0.1; done) &
    drive_pid=$!
    local cert=()
    [ "$tls" = 1 ] && cert=("$root/opt/set/web-cert.pem")
    node bench/web_viewer.mjs "$web" "$phrase" "$((window + 2))" "${cert[@]}" &
    viewer_pid=$!
    sleep 1
  fi
  local a0 a1
  a0=$(ticks "$app_pid")
  sleep "$window"
  a1=$(ticks "$app_pid")
  [ -n "$viewer_pid" ] && wait "$viewer_pid"
  [ -n "$drive_pid" ] && wait "$drive_pid"
  awk -v a=$((a1 - a0)) -v hz="$hz" -v w="$window" -v n="$name" 'BEGIN {
    printf "%-28s ombrix %.2f%% of one core over %d s (%d ticks)\n", n, a / hz / w * 100, w, a }'
  kill -TERM "$sim_pid"
  wait "$sim_pid" || true
  rm -rf "$root" "$out"
}

run "panel off" 0 0
run "panel on, nobody watching" "$port" 0
run "one viewer, HTTPS" "$port" 1 1
run "one viewer, plain HTTP" "$port" 1 0
