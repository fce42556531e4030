#!/usr/bin/env bash
# Installation check of the native Debian package built in BUILD_DIR:
# unpacks it into a throw-away root, verifies its service unit, lays the
# simulated device into the same root and runs the installed program there
# the way the unit does (working directory /opt/Ombrix, stopped by SIGTERM).
# It must come up, poll the simulated controller, name its threads and end
# cleanly within the unit's stop time-out.
#   tests/package/install_check.sh BUILD_DIR
# Exit 77 (skipped) when BUILD_DIR holds no package: scripts/package makes it.
set -euo pipefail
build=$(cd "${1:?usage: install_check.sh BUILD_DIR}" && pwd)
arch=$(dpkg --print-architecture)
deb=$(ls -t "$build"/ombrix_*_"$arch".deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
  echo "no ombrix_*_$arch.deb in $build: scripts/package builds it"
  exit 77
fi

root=$(mktemp -d /tmp/ombrix-install-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in "$root"/check-*.log; do
    echo "--- $f"
    tail -n 40 "$f"
  done
  exit 1
}
# Waits until FILE has a line matching the extended regular expression, or
# fails after SECONDS.
wait_for_line() {
  local file=$1 pattern=$2 seconds=$3
  # grep's verdict; tail ends on the next line it cannot hand over, or at the deadline.
  (
    set +o pipefail
    timeout "$seconds" tail -n +1 -F "$file" 2>/dev/null | grep -q -m 1 -E -- "$pattern"
  )
}

echo "package: $deb"
dpkg-deb -x "$deb" "$root"
unit=$root/lib/systemd/system/ombrix.service
[ -f "$unit" ] || fail "no service unit in the package"
[ -x "$root/opt/Ombrix/ombrix" ] || fail "no program in /opt/Ombrix"
for font in "$root"/opt/fonts/*.ttf; do
  [ -e "$font" ] || fail "$font points at nothing: its font package is missing"
done
# The units it is ordered against come from this machine's systemd.
cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
systemd-analyze verify --root="$root" --man=no "$unit" >"$root/check-verify.log" 2>&1 ||
  fail "systemd-analyze verify refused the unit"
# Directives it cannot read are only warnings, naming the unit's file.
if grep -q "$unit" "$root/check-verify.log"; then fail "systemd-analyze verify found faults"; fi
grep -qx "WorkingDirectory=/opt/Ombrix" "$unit" || fail "unit does not start in /opt/Ombrix"

# The simulated device in the same root: setup and tables, stand-in
# commands, the virtual GPIO block and display, the controller.
"$build/sim/ombrix-sim" --prepare --mode gen --root "$root" >"$root/check-prepare.log" 2>&1 ||
  fail "the launcher could not prepare the root"
truncate -s $((800 * 480 * 4)) "$root/dev/fb0"
"$build/sim/ombrix-sim-controller" --root "$root" >"$root/check-controller.log" 2>&1 &
pids+=($!)
wait_for_line "$root/check-controller.log" "^pty " 20 || fail "the simulated controller did not start"

(cd "$root/opt/Ombrix" && OMBRIX_ROOT=$root exec ./ombrix) >"$root/check-ombrix.log" 2>&1 &
app=$!
pids+=("$app")
describe=$(git -C "$(dirname "$0")" describe --tags --always --dirty 2>/dev/null || echo unknown)
wait_for_line "$root/check-ombrix.log" "OMBRIX build " 20 || fail "no build version logged at start"
grep -q "OMBRIX build $describe" "$root/check-ombrix.log" ||
  echo "note: package built from another commit than $describe"
# The controller link polls the status: the program talks.
wait_for_line "$root/check-controller.log" "^> ..ST;" 40 || fail "the program never polled the controller"
names=$(cat /proc/"$app"/task/*/comm | sort | tr '\n' ' ')
echo "threads: $names"
for t in link gpio; do
  grep -qw "$t" <<<"$names" || fail "no thread named $t"
done

# Stopped as systemd stops it: SIGTERM, then at most TimeoutStopSec.
stop=$(sed -n 's/^TimeoutStopSec=//p' "$unit")
kill -TERM "$app"
status=0
timeout "${stop:-90}" tail --pid="$app" -f /dev/null || fail "still running ${stop}s after SIGTERM"
wait "$app" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
grep -q "Closed!" "$root/check-ombrix.log" || fail "did not close its threads"
echo "install check passed"
