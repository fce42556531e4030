#!/usr/bin/env bash
# CPU use of the whole program at rest: ombrix polling the simulated
# controller and scanning the front-panel keys (no key pressed), with display,
# service keyboard and transceiver links off (the simulator's setup file). Measured from /proc/<pid>/stat (utime + stime) over a window
# after the start-up, as a percentage of one core.
#
#   bench/cpu_idle.sh [build-dir] [seconds]     (defaults: build, 30)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
window=${2:-30}
for f in "$build/ombrix" "$build/sim/ombrix-sim" "$build/sim/ombrix-sim-controller"; do
  [ -x "$f" ] || { echo "cpu_idle: $f missing: build first" >&2; exit 1; }
done

root=$(mktemp -d /tmp/ombrix-bench-XXXXXX)
ctl_pid= app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill -TERM "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
  [ -n "$ctl_pid" ] && kill -TERM "$ctl_pid" 2>/dev/null && wait "$ctl_pid" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

"$build/sim/ombrix-sim" --prepare --mode gen --root "$root"
"$build/sim/ombrix-sim-controller" --root "$root" --quiet &
ctl_pid=$!
for _ in $(seq 50); do [ -e "$root/dev/ttyAMA0" ] && break; sleep 0.1; done
OMBRIX_ROOT="$root" "$build/ombrix" >"$root/sim/ombrix.log" 2>&1 &
app_pid=$!

# The start-up takes about 13 s (countdown and fixed pauses); measure after it.
for _ in $(seq 300); do grep -q "Loading ... 0" "$root/sim/ombrix.log" && break; sleep 0.1; done
sleep 3

ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
hz=$(getconf CLK_TCK)
a0=$(ticks "$app_pid"); c0=$(ticks "$ctl_pid"); l0=$(wc -l <"$root/sim/controller.log")
sleep "$window"
a1=$(ticks "$app_pid"); c1=$(ticks "$ctl_pid"); l1=$(wc -l <"$root/sim/controller.log")

awk -v a=$((a1 - a0)) -v c=$((c1 - c0)) -v hz="$hz" -v w="$window" -v l=$((l1 - l0)) 'BEGIN {
  printf "ombrix: %.2f%% of one core over %d s (%d ticks of 1/%d s)\n", a / hz / w * 100, w, a, hz
  printf "simulated controller: %.2f%% of one core\n", c / hz / w * 100
  printf "wire: %.0f exchanges per second\n", l / 2 / w
}'
