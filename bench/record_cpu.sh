#!/usr/bin/env bash
# Cost of the station's record: the recorder thread (`record`: a trend
# sample, the watch of band/antenna/bank/operate and the event log's flush,
# once a second), from its own run time (/proc/<pid>/task/<tid>/schedstat,
# in ns) over a window after the start-up, as a percentage of one core; and
# the log's writes: the write calls of the file writer thread (`files`,
# /proc/.../io syscw, an upper bound on the appends) and the batches. Run at
# rest and with a fault of the simulated amplifier raised and cleared every
# 0.2 s (10 events a second).
#
#   bench/record_cpu.sh [build-dir] [seconds]     (defaults: build, 60)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
window=${2:-60}
for f in "$build/ombrix" "$build/sim/ombrix-sim" "$build/sim/ombrix-sim-controller"; do
  [ -x "$f" ] || { echo "record_cpu: $f missing: build first" >&2; exit 1; }
done

root=$(mktemp -d /tmp/ombrix-bench-XXXXXX)
ctl_pid= app_pid= faults_pid=
cleanup() {
  for p in $faults_pid $app_pid $ctl_pid; do
    kill -TERM "$p" 2>/dev/null && wait "$p" 2>/dev/null || true
  done
  rm -rf "$root"
}
trap cleanup EXIT

"$build/sim/ombrix-sim" --prepare --mode gen --root "$root"
"$build/sim/ombrix-sim-controller" --root "$root" --quiet &
ctl_pid=$!
for _ in $(seq 50); do [ -e "$root/dev/ttyAMA0" ] && break; sleep 0.1; done
OMBRIX_ROOT="$root" "$build/ombrix" >"$root/sim/ombrix.log" 2>&1 &
app_pid=$!
for _ in $(seq 300); do grep -q "Loading ... 0" "$root/sim/ombrix.log" && break; sleep 0.1; done
sleep 3

tid_of() {
  for t in /proc/"$app_pid"/task/*; do
    [ "$(cat "$t/comm")" = "$1" ] && { basename "$t"; return; }
  done
  echo "record_cpu: no thread $1" >&2
  exit 1
}
rec=$(tid_of record)
files=$(tid_of files)
run_ns() { awk '{print $1}' "/proc/$app_pid/task/$rec/schedstat"; }
files_ns() { awk '{print $1}' "/proc/$app_pid/task/$files/schedstat"; }
writes() { awk '/^syscw/ {print $2}' "/proc/$app_pid/task/$files/io"; }
events() { grep -c . "$root/opt/set/events.log" 2>/dev/null || echo 0; }
ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
hz=$(getconf CLK_TCK)

measure() {
  local label=$1
  local r0 f0 w0 e0 a0 r1 f1 w1 e1 a1
  r0=$(run_ns); f0=$(files_ns); w0=$(writes); e0=$(events); a0=$(ticks "$app_pid")
  sleep "$window"
  r1=$(run_ns); f1=$(files_ns); w1=$(writes); e1=$(events); a1=$(ticks "$app_pid")
  awk -v l="$label" -v r=$((r1 - r0)) -v f=$((f1 - f0)) -v w=$((w1 - w0)) -v e=$((e1 - e0)) \
    -v a=$((a1 - a0)) -v hz="$hz" -v s="$window" 'BEGIN {
    printf "%s: recorder %.4f%% of one core (%.1f us a second); file writer %.4f%%; " \
      "events %d (%.1f a second); file writer write calls %.2f a second; whole ombrix %.2f%%\n",
      l, r / 1e9 / s * 100, r / 1e3 / s, f / 1e9 / s * 100, e, e / s, w / s, a / hz / s * 100
  }'
}

measure "at rest"
# The fault raised and cleared through the controller's control channel.
( while :; do
    echo "amp fault 4" >"$root/sim/controller.ctl"; sleep 0.1
    echo "amp fault 0" >"$root/sim/controller.ctl"; sleep 0.1
  done ) &
faults_pid=$!
sleep 2
measure "10 events a second"
