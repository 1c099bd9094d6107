#!/usr/bin/env bash
# Whether the Agent's resident memory stays flat over a long working day: get_result +
# result_feedback pairs in chunks against the camera simulator while the monitoring loop runs
# against the monitoring simulator (delivering the recognitions, fetching tasks on every pass),
# then the loop alone for a while. Prints the resident set size after every chunk and every
# sample of the quiet period, and its largest distance from the value after the first chunk.
# A measurement, not a test: it fails only on setting up and shutting down.
#
# Usage: tools/bench/memory_flat.sh [build-dir] [pairs] [quiet-seconds]
#   build-dir      holds korvanepellixagent, tools/camera-sim/camera-sim,
#                  tools/monitoring-sim/monitoring-sim and tools/feedback-load-client
#   pairs          pairs in all, sent in chunks of 1000 (default 20000)
#   quiet-seconds  how long the loop then runs alone (default 600)
# Environment: BENCH_WAIT, BENCH_KEEP and BENCH_STRICT as for feedback_pairs.sh.
set -euo pipefail

readonly CHUNK=1000
readonly GOAL_DRIFT_KB=5120
readonly SAMPLE_SECONDS=30

die() {
  echo "memory_flat: $*" >&2
  exit 1
}

[ $# -le 3 ] || die "usage: $0 [build-dir] [pairs] [quiet-seconds]"
build_arg=${1:-build}
pairs=${2:-20000}
quiet=${3:-600}
[[ "$pairs" =~ ^[0-9]+$ ]] && [ "$pairs" -ge $CHUNK ] || die "pairs must be at least $CHUNK"
[[ "$quiet" =~ ^[0-9]+$ ]] || die "quiet-seconds must be a whole number"
[ -d "$build_arg" ] || die "no build folder '$build_arg'"
build_dir=$(realpath "$build_arg")
agent_bin="$build_dir/korvanepellixagent"
camera_bin="$build_dir/tools/camera-sim/camera-sim"
monitoring_bin="$build_dir/tools/monitoring-sim/monitoring-sim"
load_bin="$build_dir/tools/feedback-load-client"
for bin in "$agent_bin" "$camera_bin" "$monitoring_bin" "$load_bin"; do
  [ -x "$bin" ] || die "missing $bin"
done
wait_free=${BENCH_WAIT:-0}

# shellcheck source=tools/bench/bench_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_lib.sh"

wait_until_free "$wait_free"
work=$(mktemp -d "${TMPDIR:-/tmp}/memory-flat.XXXXXX")

# Both simulators on free ports; bench_lib's cleanup stops the camera's (sim_pid), the trap
# below the monitoring one.
monitoring_pid=""
trap 'rc=$?; if [ -n "$monitoring_pid" ]; then stop_child "$monitoring_pid" TERM 10; fi; (exit $rc); cleanup' EXIT
"$camera_bin" --port 0 --host 127.0.0.1 >"$work/camera-sim.log" 2>&1 &
sim_pid=$!
"$monitoring_bin" --port 0 --host 127.0.0.1 >"$work/monitoring-sim.log" 2>&1 &
monitoring_pid=$!
sim_port() {
  local log="$work/$1.log" pid=$2
  ready() { grep -qs "listening on" "$log"; }
  wait_until "$1" "$pid" 15 ready || die "$1 ended at start: $(cat "$log")"
  sed -n 's/.*listening on [^ ]*:\([0-9][0-9]*\).*/\1/p' "$log" | head -1
}
camera_port=$(sim_port camera-sim "$sim_pid")
monitoring_port=$(sim_port monitoring-sim "$monitoring_pid")

home="$work/home"
data="$home/.local/share/KORVANE/PellixAgent"
mkdir -p "$data"
# Tasks are fetched on every pass (the default is every 20 s), so the quiet period does more
# monitoring work per minute than a real hour does; images stay local (no object store here).
printf '{"device_ip":"127.0.0.1","device_port":"%s","monitoring_service_address":"http://127.0.0.1",
  "monitoring_service_port":"%s","korvane_monitoring_client_secret":"sim-secret",
  "korvane_monitoring_device_id":"D1","monitoring_request_frequency":1000,
  "recognition_image_sending_enable":false,"images_max_mb":64}\n' \
  "$camera_port" "$monitoring_port" >"$data/config.json"
start_agent "$home" "$work/agent.log"

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$agent_pid/status"; }
baseline=""
worst=0
note() {
  local label=$1 rss
  rss=$(rss_kb)
  [ -n "$baseline" ] || baseline=$rss
  local drift=$((rss - baseline))
  [ ${drift#-} -gt $worst ] && worst=${drift#-}
  printf '%-28s %10s kB %+10d kB\n' "$label" "$rss" "$drift"
}

echo "memory_flat: $pairs pairs in chunks of $CHUNK (4 clients), then ${quiet} s of monitoring passes"
printf '%-28s %13s %13s\n' "after" "RSS" "vs chunk 1"
for ((done_pairs = CHUNK; done_pairs <= pairs; done_pairs += CHUNK)); do
  "$load_bin" agent --port "$AGENT_PORT" --pairs "$CHUNK" --clients 4 >"$work/load.out" 2>&1 ||
    die "load client failed: $(cat "$work/load.out")"
  grep -qw 'errors=0' "$work/load.out" || echo "  (chunk had errors: $(cat "$work/load.out"))"
  alive "$agent_pid" || die "the Agent died: $(tail -n 20 "$agent_log")"
  note "$done_pairs pairs"
done
for ((t = SAMPLE_SECONDS; t <= quiet; t += SAMPLE_SECONDS)); do
  sleep "$SAMPLE_SECONDS"
  alive "$agent_pid" || die "the Agent died: $(tail -n 20 "$agent_log")"
  note "+${t} s of passes"
done
# The Agent's own log, not its output, tells what the loop did.
fetches=$(cat "$data"/logs/*.log | grep -c 'No tasks available' || true)
delivered=$(cat "$data"/logs/*.log | grep -c 'deleted recognition from queue' || true)
stop_agent
echo "monitoring work: $fetches task fetches, $delivered recognitions delivered"
if [ $worst -le $GOAL_DRIFT_KB ]; then
  echo "goal met: RSS within $((GOAL_DRIFT_KB / 1024)) MB of its value after the first chunk (largest distance ${worst} kB)"
else
  echo "goal MISSED: RSS moved ${worst} kB from its value after the first chunk"
  [ "${BENCH_STRICT:-0}" = 1 ] && exit 2
fi
