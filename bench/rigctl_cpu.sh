#!/usr/bin/env bash
# CPU cost of following a radio through rigctld: the reader thread (`rigctl`)
# polling Debian's rigctld with Hamlib's dummy rig every POLL ms, measured
# from the thread's own run time (/proc/<pid>/task/<tid>/schedstat, in ns)
# over a window after the start-up, as a percentage of one core. The whole
# program and rigctld are given too.
#
#   bench/rigctl_cpu.sh [build-dir] [seconds] [poll-ms]     (defaults: build, 60, 200)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
window=${2:-60}
poll=${3:-200}
for f in "$build/ombrix" "$build/sim/ombrix-sim" "$build/sim/ombrix-sim-controller" \
  "$build/sim/ombrix-sim-rig"; do
  [ -x "$f" ] || { echo "rigctl_cpu: $f missing: build first" >&2; exit 1; }
done
command -v rigctld >/dev/null || { echo "rigctl_cpu: rigctld missing: scripts/deps" >&2; exit 1; }

root=$(mktemp -d /tmp/ombrix-bench-XXXXXX)
ctl_pid= rig_pid= app_pid=
cleanup() {
  for p in $app_pid $rig_pid $ctl_pid; do
    kill -TERM "$p" 2>/dev/null && wait "$p" 2>/dev/null || true
  done
  rm -rf "$root"
}
trap cleanup EXIT

"$build/sim/ombrix-sim" --prepare --mode rig --root "$root"
"$build/sim/ombrix-sim-controller" --root "$root" --quiet &
ctl_pid=$!
"$build/sim/ombrix-sim-rig" --root "$root" "freq 14074000" >"$root/sim/rig.out" 2>&1 &
rig_pid=$!
for _ in $(seq 100); do
  [ -e "$root/dev/ttyAMA0" ] && grep -q "^rigctld " "$root/sim/rig.out" && break
  sleep 0.1
done
echo "Poll: $poll" >>"$root/opt/set/rig.txt"
OMBRIX_ROOT="$root" "$build/ombrix" >"$root/sim/ombrix.log" 2>&1 &
app_pid=$!

for _ in $(seq 300); do grep -q "Loading ... 0" "$root/sim/ombrix.log" && break; sleep 0.1; done
grep -q "rigctl: 127.0.0.1:[0-9]* answers" "$root/sim/ombrix.log" ||
  { echo "rigctl_cpu: the reader never got an answer" >&2; exit 1; }
sleep 3
tid=
for t in /proc/"$app_pid"/task/*; do
  [ "$(cat "$t/comm")" = rigctl ] && tid=${t##*/}
done
[ -n "$tid" ] || { echo "rigctl_cpu: no rigctl thread" >&2; exit 1; }
daemon=$(pgrep -n -P "$rig_pid" rigctld)

runtime() { awk '{print $1}' "/proc/$app_pid/task/$tid/schedstat"; }
ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
hz=$(getconf CLK_TCK)
r0=$(runtime); a0=$(ticks "$app_pid"); d0=$(ticks "$daemon")
sleep "$window"
r1=$(runtime); a1=$(ticks "$app_pid"); d1=$(ticks "$daemon")

awk -v r=$((r1 - r0)) -v a=$((a1 - a0)) -v d=$((d1 - d0)) -v hz="$hz" -v w="$window" \
  -v p="$poll" 'BEGIN {
  polls = w * 1000 / p
  printf "rigctl thread: %.3f%% of one core over %d s at %d ms (%.1f us per poll)\n",
    r / 1e9 / w * 100, w, p, r / 1e3 / polls
  printf "ombrix, all threads: %.2f%% of one core\n", a / hz / w * 100
  printf "rigctld (dummy rig): %.2f%% of one core\n", d / hz / w * 100
}'
