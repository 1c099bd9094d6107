#!/usr/bin/env bash
# What a months-long monitoring outage costs: the Agent's database is given a backlog of queued
# recognitions (each with five ranked candidates) and alerts, and the figures are set beside
# the same ones on the freshly migrated, empty database:
#   - get_info through the Agent (it counts both queues): p50 and max of repeated requests;
#   - the store statements of one monitoring loop pass (count both queues, take the oldest
#     recognition and its candidates, take the oldest alert), worded as in the Agent's queries
#     and run with the sqlite3 shell on a copy of the database: processor time per pass;
#   - delivery through the real loop against the monitoring simulator: entries per second and
#     whether they leave oldest first.
# A measurement, not a test: it fails only on setting up and shutting down.
#
# Usage: tools/bench/backlog.sh [build-dir] [recognitions] [alerts]
#   build-dir     holds korvanepellixagent and tools/monitoring-sim/monitoring-sim (default build)
#   recognitions  queued recognitions of the backlog (default 100000)
#   alerts        queued alerts of the backlog (default 10000)
# Environment: BENCH_WAIT=seconds to wait for port 5555 to become free, BENCH_KEEP=1 to keep
# the work folder, BENCH_DELIVERY_SECONDS=seconds of delivery watched (default 20),
# BENCH_STRICT=1 to exit 2 when a goal is missed.
set -euo pipefail

readonly GOAL_GET_INFO_MS=50
readonly GOAL_PASS_MS=5
readonly REPEAT=200

die() {
  echo "backlog: $*" >&2
  exit 1
}

[ $# -le 3 ] || die "usage: $0 [build-dir] [recognitions] [alerts]"
build_arg=${1:-build}
recognitions=${2:-100000}
alerts=${3:-10000}
for n in "$recognitions" "$alerts"; do
  [[ "$n" =~ ^[0-9]+$ ]] || die "counts must be whole numbers, got '$n'"
done
[ -d "$build_arg" ] || die "no build folder '$build_arg'"
build_dir=$(realpath "$build_arg")
agent_bin="$build_dir/korvanepellixagent"
monitoring_bin="$build_dir/tools/monitoring-sim/monitoring-sim"
delivery_seconds=${BENCH_DELIVERY_SECONDS:-20}
wait_free=${BENCH_WAIT:-0}
for tool in curl ss awk flock sqlite3; do
  command -v "$tool" >/dev/null 2>&1 || die "'$tool' is missing"
done
[ -x "$agent_bin" ] || die "no Agent at $agent_bin"
[ -x "$monitoring_bin" ] || die "no monitoring simulator at $monitoring_bin"

# shellcheck source=tools/bench/bench_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_lib.sh"

wait_until_free "$wait_free"
work=$(mktemp -d "${TMPDIR:-/tmp}/backlog.XXXXXX")
home="$work/home"
data="$home/.local/share/KORVANE/PellixAgent"
mkdir -p "$data"

# The camera is pointed at a closed loopback port: nothing here needs it, and nothing may go
# to the real camera's address. Monitoring stays off until the delivery run.
printf '{"device_ip":"127.0.0.1","device_port":"9","monitoring_service_address":""}\n' \
  >"$data/config.json"

# get_info latencies in ms: "p50 max".
get_info_ms() {
  local i
  for ((i = 0; i < 50; i++)); do
    curl -s -o /dev/null -w '%{time_total}\n' --max-time 10 \
      "http://127.0.0.1:$AGENT_PORT/api/agent/get_info"
  done | sort -n | awk '{ t[NR] = $1 * 1000 } END { printf "%.2f %.2f", t[int((NR + 1) / 2)], t[NR] }'
}

# Processor time in microseconds of one pass's store statements, averaged over REPEAT passes.
pass_us() {
  local db=$1 script="$work/pass.sql" i
  {
    echo ".output /dev/null"
    echo ".timer on"
    for ((i = 0; i < REPEAT; i++)); do
      echo "SELECT (SELECT COUNT(*) FROM alert_queue aq), (SELECT COUNT(*) FROM recognition_queue rq) LIMIT 1;"
      echo "SELECT id, created_at, updated_at, sid, method_of_selection, position_relevance, product_code, product_category, product_name, product_weight, response_time_ms, image_url FROM recognition_queue ORDER BY created_at, id LIMIT 1;"
      echo "SELECT id, created_at, updated_at, product_code, product_category, product_name, product_rate, rid, top FROM recognition_values WHERE rid = (SELECT MIN(id) FROM recognition_queue) ORDER BY top;"
      echo "SELECT id, created_at, updated_at, code, description FROM alert_queue ORDER BY created_at, id LIMIT 1;"
    done
  } >"$script"
  sqlite3 "$db" <"$script" |
    awk -v n="$REPEAT" '/^Run Time/ { s += $6 + $8 } END { printf "%.0f", s / n * 1e6 }'
}

# One Agent start creates and migrates the database: the empty baseline.
start_agent "$home" "$work/agent.log"
empty_info=$(get_info_ms)
stop_agent
cp "$data/service.db" "$work/empty.db"
empty_pass=$(pass_us "$work/empty.db")

# The backlog: entries a minute apart over the last months, oldest first by id too.
sqlite3 "$data/service.db" <<SQL
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $recognitions)
INSERT INTO recognition_queue (created_at, updated_at, sid, method_of_selection,
    position_relevance, product_code, product_category, product_name, product_weight,
    response_time_ms)
SELECT datetime('now', '-100 days', '+' || i || ' minutes'),
       datetime('now', '-100 days', '+' || i || ' minutes'), printf('bk-%07d', i),
       'recognition', 'top1', '10001', '', '', 0.25, 120 FROM n;
INSERT INTO recognition_values (product_code, product_category, product_name, product_rate, rid,
    top, created_at, updated_at)
SELECT '1000' || t.top, '', '', 1.0 - t.top / 10.0, q.id, t.top, q.created_at, q.created_at
FROM recognition_queue q, (SELECT 1 AS top UNION ALL SELECT 2 UNION ALL SELECT 3
    UNION ALL SELECT 4 UNION ALL SELECT 5) t;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $alerts)
INSERT INTO alert_queue (created_at, updated_at, code, description)
SELECT datetime('now', '-100 days', '+' || (i * 10) || ' minutes'),
       datetime('now', '-100 days', '+' || (i * 10) || ' minutes'), -6103, 'Camera lost' FROM n;
COMMIT;
SQL
cp "$data/service.db" "$work/backlog.db"
backlog_pass=$(pass_us "$work/backlog.db")
# The same without the queue order indexes, to show what they are for.
cp "$work/backlog.db" "$work/unindexed.db"
sqlite3 "$work/unindexed.db" "DROP INDEX IF EXISTS recognition_queue_created_at;
  DROP INDEX IF EXISTS alert_queue_created_at;"
unindexed_pass=$(pass_us "$work/unindexed.db")
start_agent "$home" "$work/agent.log"
backlog_info=$(get_info_ms)
stop_agent

# Delivery through the real loop, images off (only the queue's cost is of interest here).
start_monitoring_sim
monitoring_port=$sim_port
printf '{"monitoring_service_address":"http://127.0.0.1","monitoring_service_port":"%s",
  "korvane_monitoring_client_secret":"sim-secret","korvane_monitoring_device_id":"D1",
  "recognition_image_sending_enable":false,"monitoring_getting_tasks":false}\n' \
  "$monitoring_port" >"$data/config.json"
start_agent "$home" "$work/agent.log"
sleep "$delivery_seconds"
stop_agent
delivered=$(curl -sf --max-time 10 "http://127.0.0.1:$monitoring_port/sim/received/recognitions" |
  grep -o '"recognition_session":"[^"]*"' | cut -d'"' -f4)
delivered_count=$(printf '%s\n' "$delivered" | grep -c . || true)
expected_order=$(seq -f 'bk-%07g' 1 "$delivered_count")
in_order=no
[ "$delivered" = "$expected_order" ] && in_order=yes
slow_runs=$(cat "$data"/logs/*.log | grep -c 'Slow run' || true)

# ---------------------------------------------------------------------------------------------
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.1fx", a / b; else print "n/a" }'; }
read -r empty_p50 empty_max <<<"$empty_info"
read -r backlog_p50 backlog_max <<<"$backlog_info"
echo "backlog: $recognitions recognitions (5 candidates each), $alerts alerts; load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-34s %12s %12s %8s\n' "" "empty" "backlog" "ratio"
printf '%-34s %12s %12s %8s\n' "get_info p50 ms" "$empty_p50" "$backlog_p50" "$(ratio "$backlog_p50" "$empty_p50")"
printf '%-34s %12s %12s %8s\n' "get_info max ms" "$empty_max" "$backlog_max" "$(ratio "$backlog_max" "$empty_max")"
printf '%-34s %12s %12s %8s\n' "loop pass store statements us" "$empty_pass" "$backlog_pass" "$(ratio "$backlog_pass" "$empty_pass")"
printf '%-34s %12s %12s %8s\n' "  the same without queue indexes" "" "$unindexed_pass" "$(ratio "$unindexed_pass" "$empty_pass")"
echo "delivery: $delivered_count recognitions in ${delivery_seconds} s, oldest first: $in_order; 'Slow run' warnings: $slow_runs"

missed=0
goal() {
  if awk -v v="$2" -v g="$3" 'BEGIN { exit !(v <= g) }'; then echo "goal met: $1 ($2 <= $3)"; else
    echo "goal MISSED: $1 ($2 > $3)"
    missed=1
  fi
}
goal "get_info max ms with the backlog" "$backlog_max" "$GOAL_GET_INFO_MS"
goal "loop pass store ms with the backlog" "$(awk -v u="$backlog_pass" 'BEGIN { printf "%.2f", u / 1000 }')" "$GOAL_PASS_MS"
[ "$in_order" = yes ] && [ "$delivered_count" -gt 0 ] || {
  echo "goal MISSED: delivery oldest first"
  missed=1
}
if [ "${BENCH_STRICT:-0}" = 1 ] && [ $missed = 1 ]; then exit 2; fi
