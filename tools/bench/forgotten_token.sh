#!/usr/bin/env bash
# What it costs a store when the monitoring service forgets the tokens it issued (as a restart
# of its token store does): a backlog of recognitions, each with its image, is queued just as
# the service forgets every access and refresh token it handed out, and the figures are the
# seconds until the whole backlog has arrived and the token requests the Agent made meanwhile.
# The Agent delivers one entry per pass, so the floor is about one second per recognition.
# A measurement, not a test: it fails only on setting up and shutting down.
#
# Usage: tools/bench/forgotten_token.sh [build-dir] [recognitions]
#   build-dir     holds korvanepellixagent, tools/monitoring-sim/monitoring-sim and
#                 tools/s3-sim/server.js (default build)
#   recognitions  the backlog (default 60)
# Environment: BENCH_WAIT=seconds to wait for port 5555 to become free, BENCH_KEEP=1 to keep
# the work folder, BENCH_STRICT=1 to exit 2 when the goal is missed.
set -euo pipefail

die() {
  echo "forgotten_token: $*" >&2
  exit 1
}

[ $# -le 2 ] || die "usage: $0 [build-dir] [recognitions]"
build_arg=${1:-build}
backlog=${2:-60}
[[ "$backlog" =~ ^[1-9][0-9]*$ ]] || die "recognitions must be a positive whole number"
[ -d "$build_arg" ] || die "no build folder '$build_arg'"
build_dir=$(realpath "$build_arg")
agent_bin="$build_dir/korvanepellixagent"
monitoring_bin="$build_dir/tools/monitoring-sim/monitoring-sim"
s3_script="$build_dir/tools/s3-sim/server.js"
# The goal: the backlog plus a quarter for renewing the token and the passes' own pace.
goal_seconds=$((backlog + backlog / 4))
for tool in curl ss jq flock sqlite3 node; do
  command -v "$tool" >/dev/null 2>&1 || die "'$tool' is missing"
done
[ -x "$agent_bin" ] || die "no Agent at $agent_bin"
[ -x "$monitoring_bin" ] || die "no monitoring simulator at $monitoring_bin"
[ -f "$s3_script" ] || die "no object store simulator at $s3_script"

# shellcheck source=tools/bench/bench_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_lib.sh"

wait_until_free "${BENCH_WAIT:-0}"
work=$(mktemp -d "${TMPDIR:-/tmp}/forgotten_token.XXXXXX")
home="$work/home"
data="$home/.local/share/KORVANE/PellixAgent"
images="$home/Documents/KORVANE/PellixAgent/images"
mkdir -p "$data" "$images" "$work/s3"

start_monitoring_sim
node "$s3_script" --port 0 --bucket pellix --access-key BENCHACCESS --secret-key bench-secret \
  --data-dir "$work/s3" >"$work/s3-sim.log" 2>&1 &
s3_pid=$!
s3_ready() { grep -qs '^listening on' "$work/s3-sim.log"; }
wait_until "s3-sim" "$s3_pid" 30 s3_ready || die "s3-sim ended at start: $(cat "$work/s3-sim.log")"
s3_port=$(sed -n 's/^listening on \([0-9][0-9]*\).*/\1/p' "$work/s3-sim.log" | head -1)

sim() { curl -sf --max-time 10 "http://127.0.0.1:$sim_port/sim/$1" "${@:2}"; }
token_requests() { sim token/requests | jq 'length'; }
arrived() { sim received/recognitions | jq '[.[] | select(.status == 200)] | length'; }

# The camera is pointed at a closed loopback port: nothing here needs it.
cat >"$data/config.json" <<JSON
{"device_ip":"127.0.0.1","device_port":"9",
 "monitoring_service_address":"http://127.0.0.1","monitoring_service_port":"$sim_port",
 "korvane_monitoring_client_secret":"sim-secret","korvane_monitoring_device_id":"D1",
 "monitoring_getting_tasks":false,"recognition_image_sending_enable":true,
 "file_storage_service_address":"http://127.0.0.1:$s3_port","file_storage_service_bucket":"pellix",
 "file_storage_service_login":"BENCHACCESS","file_storage_service_password":"bench-secret"}
JSON
start_agent "$home" "$work/agent.log"
authenticated() { [ "$(token_requests)" -ge 1 ]; }
wait_until "the first token" "$agent_pid" 30 authenticated || die "the Agent ended"
sleep 2

# The images first, so that no entry waits for its picture; then the service forgets its
# tokens and the backlog is queued in one transaction.
for ((i = 1; i <= backlog; i++)); do
  head -c 40000 /dev/urandom >"$images/$(printf 'ft-%05d' "$i").jpg"
done
tokens_before=$(token_requests)
sim token -H 'Content-Type: application/json' -d '{"expire":true,"expire_refresh":true}' >/dev/null
started=$(date +%s.%N)
sqlite3 "$data/service.db" <<SQL
.timeout 10000
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $backlog)
INSERT INTO recognition_queue (created_at, updated_at, sid, method_of_selection,
    position_relevance, product_code, product_category, product_name, product_weight,
    response_time_ms)
SELECT datetime('now', '-1 minute', '+' || i || ' seconds'),
       datetime('now', '-1 minute', '+' || i || ' seconds'), printf('ft-%05d', i),
       'recognition', 'top1', '10001', '', '', 0.25, 120 FROM n;
COMMIT;
SQL

deadline=$((SECONDS + 4 * goal_seconds))
until [ "$(arrived)" -ge "$backlog" ]; do
  alive "$agent_pid" || die "the Agent ended: $(tail -n 20 "$work/agent.log")"
  [ $SECONDS -lt $deadline ] || break
  sleep 0.2
done
finished=$(date +%s.%N)
count=$(arrived)
tokens=$(($(token_requests) - tokens_before))
uploads=$(curl -sf --max-time 10 "http://127.0.0.1:$s3_port/_sim/objects" | jq '.objects | length')
stop_agent
stop_child "$s3_pid" TERM 10
s3_pid=""

seconds=$(awk -v a="$started" -v b="$finished" 'BEGIN { printf "%.1f", b - a }')
echo "forgotten tokens: $count of $backlog recognitions arrived in $seconds s (goal $goal_seconds s);" \
  "$uploads images stored; $tokens token requests; load $(cut -d' ' -f1-3 /proc/loadavg)"
missed=0
if [ "$count" -lt "$backlog" ] || awk -v s="$seconds" -v g="$goal_seconds" 'BEGIN { exit !(s > g) }'; then
  echo "goal MISSED"
  missed=1
else
  echo "goal met"
fi
if [ "${BENCH_STRICT:-0}" = 1 ] && [ $missed = 1 ]; then exit 2; fi
