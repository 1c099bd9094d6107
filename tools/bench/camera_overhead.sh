#!/usr/bin/env bash
# What the Agent costs the point-of-sale software on a camera command: the same GET is sent
# with wrk to the camera simulator directly (the limit), through nginx proxying to it (the
# reference for a plain HTTP relay) and through the Agent, at 1 and at 32 connections, and
# the figures are printed side by side with their ratios. A measurement, not a test: it is
# not part of `make test`, and it passes or fails only on setting up and shutting down.
#
# Usage: tools/bench/camera_overhead.sh [build-dir] [duration-seconds]
#   build-dir          holds korvanepellixagent and tools/camera-sim/camera-sim (default: build)
#   duration-seconds   length of each wrk run (default: 10)
# Environment: NGINX_WORKERS (default auto), BENCH_STRICT=1 to exit 2 when a goal is missed,
# BENCH_KEEP=1 to keep the work folder with every log and raw wrk output.
#
# The Agent listens on the fixed port 5555 and guards itself with a fixed lock file, so
# nothing else may run an Agent meanwhile (not the end-to-end tests either).
set -euo pipefail

readonly GOAL_P50_RATIO=1.5
readonly GOAL_THROUGHPUT_SHARE=0.70

usage() {
  echo "usage: $0 [build-dir] [duration-seconds]" >&2
  exit 64
}

die() {
  echo "camera_overhead: $*" >&2
  exit 1
}

[ $# -le 2 ] || usage
case "${1:-}" in -h | --help) usage ;; esac
build_arg=${1:-build}
duration=${2:-10}
[[ "$duration" =~ ^[1-9][0-9]*$ ]] || die "duration must be a whole number of seconds, got '$duration'"
[ -d "$build_arg" ] || die "no build folder '$build_arg'"
build_dir=$(realpath "$build_arg")
agent_bin="$build_dir/korvanepellixagent"
sim_bin="$build_dir/tools/camera-sim/camera-sim"
nginx_workers=${NGINX_WORKERS:-auto}

for tool in wrk nginx curl ss awk flock; do
  command -v "$tool" >/dev/null 2>&1 ||
    die "'$tool' is missing (scripts/install-bench-deps.sh installs wrk and nginx)"
done
[ -x "$agent_bin" ] || die "no Agent at $agent_bin (cmake --build $build_dir --target korvanepellixagent)"
[ -x "$sim_bin" ] || die "no camera simulator at $sim_bin (cmake --build $build_dir --target camera-sim)"

# ---------------------------------------------------------------------------------------------
# Processes

# shellcheck source=tools/bench/bench_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_lib.sh"

# ---------------------------------------------------------------------------------------------
# Nothing else may hold the Agent's port, lock or process name.

obstacle=$(in_the_way)
[ -z "$obstacle" ] || die "$obstacle
Stop it and run the benchmark again."

work=$(mktemp -d "${TMPDIR:-/tmp}/camera-overhead.XXXXXX")
# nginx's workers drop root for an unprivileged user, which must still reach their folders.
chmod 711 "$work"
mkdir -p "$work/wrk" "$work/nginx/temp"
chmod 755 "$work/nginx" "$work/nginx/temp"

# ---------------------------------------------------------------------------------------------
# Camera simulator

"$sim_bin" --port 0 --host 127.0.0.1 >"$work/camera-sim.log" 2>&1 &
sim_pid=$!
sim_ready() { grep -q 'camera-sim listening on' "$work/camera-sim.log"; }
wait_until "camera-sim" "$sim_pid" 15 sim_ready ||
  die "camera-sim ended at start: $(cat "$work/camera-sim.log")"
camera_port=$(sed -n 's/.*camera-sim listening on [^ ]*:\([0-9][0-9]*\).*/\1/p' "$work/camera-sim.log" | head -1)
[ -n "$camera_port" ] || die "cannot read camera-sim's port from: $(cat "$work/camera-sim.log")"

# ---------------------------------------------------------------------------------------------
# nginx as a plain relay: HTTP/1.0 and a new upstream connection per request (its defaults),
# which is also how the Agent's client talks to the camera.

nginx_port=""
for _ in $(seq 1 50); do
  # Below the kernel's ephemeral range, so that no outgoing connection already holds it.
  candidate=$((20000 + RANDOM % 12000))
  if ! port_listening "$candidate"; then
    nginx_port=$candidate
    break
  fi
done
[ -n "$nginx_port" ] || die "found no free port for nginx"

cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
worker_processes $nginx_workers;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;

events {
    worker_connections 1024;
}

http {
    access_log $work/nginx/access.log;
    client_body_temp_path $work/nginx/temp/body;
    proxy_temp_path $work/nginx/temp/proxy;
    fastcgi_temp_path $work/nginx/temp/fastcgi;
    uwsgi_temp_path $work/nginx/temp/uwsgi;
    scgi_temp_path $work/nginx/temp/scgi;

    server {
        listen 127.0.0.1:$nginx_port;
        location / {
            proxy_pass http://127.0.0.1:$camera_port;
        }
    }
}
EOF
nginx -t -q -c "$work/nginx/nginx.conf" -p "$work/nginx" -e "$work/nginx/error.log" ||
  die "nginx rejects its configuration: $(cat "$work/nginx/error.log" 2>/dev/null)"
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" -e "$work/nginx/error.log" \
  >"$work/nginx/stdout.log" 2>&1 &
nginx_pid=$!
nginx_ready() { port_listening "$nginx_port"; }
wait_until "nginx" "$nginx_pid" 15 nginx_ready ||
  die "nginx ended at start: $(cat "$work/nginx/error.log" "$work/nginx/stdout.log" 2>/dev/null)"

# ---------------------------------------------------------------------------------------------
# The Agent, with a home of its own whose configuration points at the simulator.

agent_home="$work/home"
mkdir -p "$agent_home/.local/share/KORVANE/PellixAgent"
printf '{"device_ip":"127.0.0.1","device_port":"%s"}\n' "$camera_port" \
  >"$agent_home/.local/share/KORVANE/PellixAgent/config.json"
(cd "$work" && exec env HOME="$agent_home" "$agent_bin") >"$work/agent.log" 2>&1 &
agent_pid=$!
agent_ready() { port_listening "$AGENT_PORT"; }
wait_until "the Agent" "$agent_pid" 30 agent_ready ||
  die "the Agent ended at start: $(tail -n 20 "$work/agent.log")"

readonly DIRECT="http://127.0.0.1:$camera_port"
readonly PROXY="http://127.0.0.1:$nginx_port"
readonly AGENT="http://127.0.0.1:$AGENT_PORT"

# HTTP status of one GET, with the body left in $work/probe.json.
probe() {
  curl -s -o "$work/probe.json" -w '%{http_code}' --max-time 10 "$1" || echo 000
}
envelope_ok() { grep -Eq '"code"[[:space:]]*:[[:space:]]*0[[:space:]]*[,}]' "$work/probe.json"; }

for base in "$DIRECT" "$PROXY" "$AGENT"; do
  status=$(probe "$base/api/get_device_info")
  { [ "$status" = 200 ] && envelope_ok; } ||
    die "GET $base/api/get_device_info answered $status: $(head -c 400 "$work/probe.json")"
done

result_status=$(probe "$AGENT/api/get_result")
case "$result_status" in
  404) result_routed=0 ;;
  200) envelope_ok || die "GET $AGENT/api/get_result failed: $(head -c 400 "$work/probe.json")"
    result_routed=1 ;;
  *) die "GET $AGENT/api/get_result answered HTTP $result_status: $(head -c 400 "$work/probe.json")" ;;
esac
status=$(probe "$DIRECT/api/get_result")
{ [ "$status" = 200 ] && envelope_ok; } ||
  die "GET $DIRECT/api/get_result answered $status: $(head -c 400 "$work/probe.json")"

# ---------------------------------------------------------------------------------------------
# Load

# Counts answers that are HTTP 2xx but whose envelope does not carry code 0: that is how both
# the camera and the Agent report a failed command. Every target runs with it, so its small
# per-answer cost is the same for all.
cat >"$work/envelope.lua" <<'EOF'
envelope_errors = 0
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function response(status, headers, body)
  if status >= 200 and status < 300 and not body:find('"code"%s*:%s*0%s*[,}]') then
    envelope_errors = envelope_errors + 1
  end
end

function done(summary, latency, requests)
  local total = 0
  for _, thread in ipairs(threads) do
    total = total + (thread:get("envelope_errors") or 0)
  end
  io.write(string.format("Envelope errors: %d\n", total))
end
EOF

# run_wrk KEY URL CONNECTIONS SECONDS: raw output in $work/wrk/KEY.txt
run_wrk() {
  local key=$1 url=$2 connections=$3 seconds=$4 threads=1
  [ "$connections" -lt 2 ] || threads=2
  wrk -t"$threads" -c"$connections" -d"${seconds}s" --timeout 5s --latency \
    -s "$work/envelope.lua" "$url" >"$work/wrk/$key.txt" 2>&1 ||
    die "wrk failed on $url: $(cat "$work/wrk/$key.txt")"
  alive "$agent_pid" || die "the Agent died during the run: $(tail -n 20 "$work/agent.log")"
}

# One line from wrk's output: req/s p50-ms p99-ms requests non-2xx socket-errors
# envelope-errors socket-error-detail
parse_wrk() {
  awk '
    function ms(v) {
      if (v ~ /us$/) return substr(v, 1, length(v) - 2) / 1000
      if (v ~ /ms$/) return substr(v, 1, length(v) - 2) + 0
      if (v ~ /m$/) return substr(v, 1, length(v) - 1) * 60000
      if (v ~ /s$/) return substr(v, 1, length(v) - 1) * 1000
      return v + 0
    }
    BEGIN { rps = 0; p50 = -1; p99 = -1; total = 0; non2xx = 0; sock = 0; env = 0; detail = "-" }
    $1 == "50%" { p50 = ms($2) }
    $1 == "99%" { p99 = ms($2) }
    $1 == "Requests/sec:" { rps = $2 }
    $2 == "requests" && $3 == "in" { total = $1 }
    /Non-2xx or 3xx responses:/ { non2xx = $NF }
    /Socket errors:/ {
      gsub(",", "")
      sock = $4 + $6 + $8 + $10
      detail = "connect=" $4 ",read=" $6 ",write=" $8 ",timeout=" $10
    }
    /^Envelope errors:/ { env = $NF }
    END { printf "%.1f %.3f %.3f %d %d %d %d %s\n", rps, p50, p99, total, non2xx, sock, env, detail }
  ' "$work/wrk/$1.txt"
}

declare -A figures=()
measure() {
  local key=$1 url=$2 connections=$3
  run_wrk "$key" "$url" "$connections" "$duration"
  figures[$key]=$(parse_wrk "$key")
}

# The nth field (1-based) of a figures entry.
field() {
  local -a parts
  read -r -a parts <<<"${figures[$1]}"
  echo "${parts[$(($2 - 1))]}"
}

# Both sides warm up (the Agent's workers and database, nginx's and the simulator's threads)
# before anything is measured.
warmup=$((duration < 2 ? duration : 2))
for base in "$DIRECT" "$PROXY" "$AGENT"; do
  run_wrk warmup "$base/api/get_device_info" 8 "$warmup"
done

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for connections in 1 32; do
  measure "info:direct:$connections" "$DIRECT/api/get_device_info" "$connections"
  measure "info:nginx:$connections" "$PROXY/api/get_device_info" "$connections"
  measure "info:agent:$connections" "$AGENT/api/get_device_info" "$connections"
done
for connections in 1 32; do
  measure "result:direct:$connections" "$DIRECT/api/get_result" "$connections"
  if [ "$result_routed" = 1 ]; then
    measure "result:agent:$connections" "$AGENT/api/get_result" "$connections"
  fi
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

stop_child "$agent_pid" TERM 20
agent_exit=$stopped_status
agent_pid=""

# ---------------------------------------------------------------------------------------------
# Report

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'; }
percent() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.0f%%", 100 * a / b; else printf "n/a" }'; }
at_most() { awk -v v="$1" -v g="$2" 'BEGIN { exit !(v != "n/a" && v + 0 <= g + 0) }'; }
at_least() { awk -v v="$1" -v g="$2" 'BEGIN { exit !(v != "n/a" && v + 0 >= g + 0) }'; }
verdict() { if "$@"; then echo met; else echo MISSED; fi; }

errors_of() { echo $(($(field "$1" 5) + $(field "$1" 6) + $(field "$1" 7))); }

table_header() {
  printf '  %-6s %-7s %10s %9s %9s %9s %8s %8s %8s  %s\n' \
    conns target "req/s" "p50 ms" "p99 ms" requests non-2xx socket envelope "socket errors"
}
table_row() {
  local key=$1 target=$2 connections=$3
  local -a f
  read -r -a f <<<"${figures[$key]}"
  printf '  %-6s %-7s %10s %9s %9s %9s %8s %8s %8s  %s\n' \
    "$connections" "$target" "${f[0]}" "${f[1]}" "${f[2]}" "${f[3]}" "${f[4]}" "${f[5]}" "${f[6]}" "${f[7]}"
}

nginx_processes=$nginx_workers
[ "$nginx_workers" != auto ] || nginx_processes="auto = $(nproc)"

echo "Agent overhead on a camera command, as the point-of-sale software sees it"
echo "  Agent    $agent_bin"
echo "  targets  direct = camera-sim 127.0.0.1:$camera_port, nginx = proxy_pass to it on" \
  "127.0.0.1:$nginx_port, agent = 127.0.0.1:$AGENT_PORT"
echo "  nginx    $(nginx -v 2>&1 | sed 's/^nginx version: //'), worker_processes $nginx_processes," \
  "HTTP/1.0 upstream, one connection per request"
echo "  wrk      ${duration} s per run, 1 connection x 1 thread and 32 connections x 2 threads," \
  "keep-alive; $(nproc) CPUs, load average $load_before before, $load_after after"
echo "  errors   non-2xx = HTTP status other than 2xx/3xx, socket = connect/read/write/timeout," \
  "envelope = HTTP 2xx with a code other than 0"
echo
echo "GET /api/get_device_info"
table_header
for connections in 1 32; do
  table_row "info:direct:$connections" direct "$connections"
  table_row "info:nginx:$connections" nginx "$connections"
  table_row "info:agent:$connections" agent "$connections"
done

echo
echo "Ratios                       1 connection   32 connections"
row() { printf '  %-26s %12s %16s\n' "$@"; }
p50_vs() { ratio "$(field "info:agent:$2" 2)" "$(field "info:$1:$2" 2)"; }
rps_vs() { percent "$(field "info:agent:$2" 1)" "$(field "info:$1:$2" 1)"; }
row "Agent/nginx p50" "$(p50_vs nginx 1)x" "$(p50_vs nginx 32)x"
row "Agent/nginx throughput" "$(rps_vs nginx 1)" "$(rps_vs nginx 32)"
row "Agent/direct p50" "$(p50_vs direct 1)x" "$(p50_vs direct 32)x"
row "Agent/direct throughput" "$(rps_vs direct 1)" "$(rps_vs direct 32)"

p50_goal=$(p50_vs nginx 1)
share_goal=$(ratio "$(field info:agent:32 1)" "$(field info:nginx:32 1)")
agent_errors=$(($(errors_of info:agent:1) + $(errors_of info:agent:32)))
goal_p50=$(verdict at_most "$p50_goal" "$GOAL_P50_RATIO")
goal_share=$(verdict at_least "$share_goal" "$GOAL_THROUGHPUT_SHARE")
goal_errors=$(verdict test "$agent_errors" -eq 0)

echo
echo "Goals"
printf '  %-58s %-8s %s\n' \
  "p50 at 1 connection within ${GOAL_P50_RATIO}x of nginx" "$goal_p50" "(${p50_goal}x)" \
  "throughput at 32 connections at least $(percent "$GOAL_THROUGHPUT_SHARE" 1) of nginx's" \
  "$goal_share" "($(percent "$share_goal" 1))" \
  "no errors through the Agent" "$goal_errors" "($agent_errors)"

echo
echo "GET /api/get_result"
table_header
for connections in 1 32; do
  table_row "result:direct:$connections" direct "$connections"
  if [ "$result_routed" = 1 ]; then
    table_row "result:agent:$connections" agent "$connections"
  else
    printf '  %-6s %-7s %s\n' "$connections" agent "not routed yet (the Agent answers 404)"
  fi
done
if [ "$result_routed" = 1 ]; then
  p50r() { ratio "$(field "result:agent:$1" 2)" "$(field "result:direct:$1" 2)"; }
  rpsr() { percent "$(field "result:agent:$1" 1)" "$(field "result:direct:$1" 1)"; }
  row "Agent/direct p50" "$(p50r 1)x" "$(p50r 32)x"
  row "Agent/direct throughput" "$(rpsr 1)" "$(rpsr 32)"
fi

echo
if [ "$agent_exit" = 0 ]; then
  echo "Agent stopped on SIGTERM with exit status 0"
else
  echo "Agent stopped on SIGTERM with exit status $agent_exit (0 expected); its last lines:"
  tail -n 20 "$work/agent.log"
  exit 1
fi

if [ "${BENCH_STRICT:-0}" = 1 ] && [[ "$goal_p50 $goal_share $goal_errors" == *MISSED* ]]; then
  exit 2
fi
