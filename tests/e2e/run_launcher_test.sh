#!/usr/bin/env bash
# `make run`'s launcher, stopped by SIGTERM and then by SIGHUP, must take the Agent and every
# simulator with it. Usage: run_launcher_test.sh <source dir> <build dir>
set -euo pipefail
source_dir=$1
build_dir=$2
work=$(mktemp -d)
launcher=
children=
cleanup() {
  if [ -n "$launcher" ]; then
    # Children first: once the launcher is gone they can no longer be found by their parent.
    children+=" $(pgrep -P "$launcher" | tr '\n' ' ')"
    kill -KILL "$launcher" 2>/dev/null || true
  fi
  for pid in $children; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAILED: $*" >&2; exit 1; }

answers() { (exec 3<>/dev/tcp/127.0.0.1/5555) 2>/dev/null; }

! answers || fail "something already serves port 5555"
for signal in TERM HUP; do
  CAMERA_SIM_PORT=18380 MONITORING_SIM_PORT=18381 S3_SIM_PORT=18382 \
    "$source_dir/scripts/run-agent.sh" "$build_dir" "$work/home-$signal" >"$work/out-$signal" 2>&1 &
  launcher=$!
  for _ in $(seq 1 150); do answers && break; sleep 0.2; done
  answers || fail "the Agent did not come up: $(cat "$work/out-$signal")"
  grep -q "log: $work/home-$signal/.local/share/KORVANE/PellixAgent/logs" "$work/out-$signal" ||
    fail "banner does not name the log folder: $(cat "$work/out-$signal")"
  children=$(pgrep -P "$launcher" | tr '\n' ' ')
  [ "$(wc -w <<<"$children")" -eq 4 ] || fail "expected the Agent and three simulators, got: $children"

  kill -"$signal" "$launcher"
  for _ in $(seq 1 100); do kill -0 "$launcher" 2>/dev/null || break; sleep 0.1; done
  ! kill -0 "$launcher" 2>/dev/null || fail "launcher still runs after SIG$signal"
  for pid in $children; do
    ! kill -0 "$pid" 2>/dev/null || fail "SIG$signal left process $pid ($(cat "/proc/$pid/comm")) running"
  done
  ! answers || fail "port 5555 still answers after SIG$signal"
  launcher=
  children=
done
echo "launcher stops everything on SIGTERM and SIGHUP"
