#!/usr/bin/env bash
# The fleet benchmark: what the monitoring loop's backoff does for a whole fleet of Agents when
# the monitoring service goes away and comes back. Two fleets of N Agents each, one with the
# backoff (monitoring_backoff_max_s left at its default) and one without (0), record
# recognitions through their local APIs while their monitoring simulators go through a steady
# phase, an outage (503 to everything, then connections refused) and the recovery. Every Agent
# runs in a PID and mount namespace of its own, so that its single-instance guard and lock file
# see only itself, and listens on a loopback address of its own. See tools/fleet/README.md.
set -euo pipefail

readonly KINDS=(token recognition telemetry task state attributes alarm alert other)
readonly AGENT_PORT=5555
readonly S3_ACCESS_KEY=FLEETACCESSKEY
readonly S3_SECRET_KEY=fleet-secret-key
readonly S3_BUCKET=pellix

usage() {
  cat <<'EOF'
usage: tools/fleet/fleet.sh [options]
  --build DIR            build folder with the simulators (default: build)
  --agent-bin FILE       Agent binary (default: <build>/korvanepellixagent)
  --out DIR              output folder, not under /tmp (default: <build>/fleet-<date>)
  --agents N             Agents per fleet (default 50, at most 250)
  --rate-s S             one get_result + result_feedback pair every S seconds per Agent (10)
  --steady-s S           steady phase (120)
  --outage-s S           outage: 503 for the first half, connections refused for the rest (600)
  --recovery-max-s S     longest wait for the backlog to drain after the outage (900)
  --task-interval-ms MS  monitoring_request_frequency of every Agent (1000: a task fetch per pass)
  --sequential           run the baseline fleet after the backoff fleet instead of beside it
  --smoke                5 Agents, about a minute in all; checks only that every recognition
                         arrived exactly once
  --keep                 keep the Agents' homes and logs under <out>/work
EOF
}

die() {
  echo "fleet: $*" >&2
  exit 1
}

log() {
  echo "[$(date +%H:%M:%S)] $*" >&2
}

# --- options -----------------------------------------------------------------------------------

build_dir=build
agent_bin=""
out_dir=""
agents=50
rate_s=10
steady_s=120
outage_s=600
recovery_max_s=900
task_interval_ms=1000
sequential=0
smoke=0
keep=0

whole_number() {
  [[ $2 =~ ^[0-9]+$ ]] || { echo "fleet: $1 needs a whole number, got \"$2\"" >&2; exit 64; }
}

parse_args() {
  while [ $# -gt 0 ]; do
    case $1 in
      --build | --agent-bin | --out | --agents | --rate-s | --steady-s | --outage-s | \
        --recovery-max-s | --task-interval-ms)
        [ $# -ge 2 ] || { echo "fleet: $1 needs a value" >&2; exit 64; }
        case $1 in
          --build) build_dir=$2 ;;
          --agent-bin) agent_bin=$2 ;;
          --out) out_dir=$2 ;;
          --agents) whole_number "$1" "$2"; agents=$2 ;;
          --rate-s) whole_number "$1" "$2"; rate_s=$2 ;;
          --steady-s) whole_number "$1" "$2"; steady_s=$2 ;;
          --outage-s) whole_number "$1" "$2"; outage_s=$2 ;;
          --recovery-max-s) whole_number "$1" "$2"; recovery_max_s=$2 ;;
          --task-interval-ms) whole_number "$1" "$2"; task_interval_ms=$2 ;;
        esac
        shift 2
        ;;
      --sequential) sequential=1; shift ;;
      --smoke) smoke=1; shift ;;
      --keep) keep=1; shift ;;
      -h | --help) usage; exit 0 ;;
      *) echo "fleet: unknown option $1" >&2; usage >&2; exit 64 ;;
    esac
  done
  if [ "$smoke" = 1 ]; then
    agents=5 rate_s=2 steady_s=15 outage_s=20 recovery_max_s=120
  fi
  [ "$agents" -ge 1 ] && [ "$agents" -le 250 ] || { echo "fleet: --agents takes 1..250" >&2; exit 64; }
  [ "$rate_s" -ge 1 ] || { echo "fleet: --rate-s takes 1 or more" >&2; exit 64; }
}

# --- processes ---------------------------------------------------------------------------------

sim_pids=()     # simulators and load clients: plain children of this shell
agent_units=()  # unshare processes, one per Agent; the Agent is the child of each
work=""
load_stop=""
sleeper=""

# A signal sent to this shell alone waits for a foreground sleep to end before its trap runs;
# it interrupts wait at once.
pause_for() {
  sleep "$1" &
  sleeper=$!
  wait "$sleeper"
  sleeper=""
}

alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

# Waits for the listed children to end, up to a deadline, then kills what is left.
reap() {
  local seconds=$1 pid
  shift
  local deadline=$((SECONDS + seconds))
  for pid in "$@"; do
    while alive "$pid" && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
    if alive "$pid"; then
      log "pid $pid outlived the deadline; killed"
      kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
  done
}

# The Agent is PID 1 of its namespace and unshare does not pass signals on, so SIGTERM goes to
# the Agent itself; the unshare process ends with it.
stop_agents() {
  local unit agent
  [ ${#agent_units[@]} -gt 0 ] || return 0
  for unit in "${agent_units[@]}"; do
    for agent in $(pgrep -P "$unit" 2>/dev/null); do kill -TERM "$agent" 2>/dev/null || true; done
  done
  reap 30 "${agent_units[@]}"
  agent_units=()
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$load_stop" ]; then touch "$load_stop"; fi
  if [ -n "$sleeper" ]; then kill "$sleeper" 2>/dev/null || true; fi
  stop_agents
  if [ ${#sim_pids[@]} -gt 0 ]; then
    kill -TERM "${sim_pids[@]}" 2>/dev/null || true
    reap 10 "${sim_pids[@]}"
  fi
  if [ -n "$work" ] && [ "$keep" = 0 ]; then rm -rf "$work"; fi
  exit "$status"
}

# Starts a simulator in the background with its output in a file and waits for the line that
# names its port, which it leaves in started_port. Not in a command substitution: the simulator
# must stay a child of this shell.
started_port=""
start_sim() {
  local name=$1 pattern=$2 output=$3
  shift 3
  "$@" >"$output" 2>&1 &
  sim_pids+=($!)
  local pid=$! deadline=$((SECONDS + 20))
  started_port=""
  until started_port=$(sed -n "s|$pattern|\\1|p" "$output" | head -n 1) && [ -n "$started_port" ]; do
    alive "$pid" || die "$name ended at start: $(tail -n 5 "$output")"
    [ $SECONDS -lt $deadline ] || die "$name did not come up within 20 s"
    sleep 0.1
  done
}

# --- fleets ------------------------------------------------------------------------------------

# Per fleet: its name, the backoff cap written to the Agents' configuration ("" leaves the key
# out, so the Agent's default applies), the third octet of its loopback addresses, and its
# simulator's service and control ports once started.
declare -A fleet_cap=([backoff]="" [baseline]=0)
declare -A fleet_octet=([backoff]=0 [baseline]=1)
declare -A fleet_port fleet_control
camera_port=""
s3_port=""

agent_address() {
  echo "127.0.${fleet_octet[$1]}.$(($2 + 1))"
}

sim_control() {
  local fleet=$1 method=$2 path=$3 body=${4:-} answer status=0
  # A POST without a length would be read until the connection closes, so it always has one.
  if [ "$method" = POST ] && [ -z "$body" ]; then body='{}'; fi
  answer=$(curl -sS -m 30 -w '\n%{http_code}' -X "$method" ${body:+-d "$body"} \
    "http://127.0.0.1:${fleet_control[$fleet]}/sim/$path" 2>&1) || status=$?
  if [ "$status" != 0 ] || [ "${answer##*$'\n'}" != 200 ]; then
    die "control request $method /sim/$path to the $fleet simulator failed: $answer"
  fi
  echo "${answer%$'\n'*}"
}

start_shared_sims() {
  start_sim camera-sim '.*listening on .*:\([0-9]*\)$' "$work/camera-sim.log" \
    "$build_dir/tools/camera-sim/camera-sim" --port 0 --state-dir "$work/camera-sim"
  camera_port=$started_port
  mkdir -p "$work/s3-sim"
  start_sim s3-sim '^listening on \([0-9]*\)$' "$work/s3-sim.log" \
    node "$build_dir/tools/s3-sim/server.js" --port 0 --bucket "$S3_BUCKET" \
    --access-key "$S3_ACCESS_KEY" --secret-key "$S3_SECRET_KEY" --data-dir "$work/s3-sim"
  s3_port=$started_port
  log "camera simulator on port $camera_port, object store simulator on port $s3_port"
}

start_monitoring_sim() {
  local fleet=$1 output="$work/$1/monitoring-sim.log"
  mkdir -p "$work/$fleet"
  start_sim monitoring-sim '.*listening on http://[^:]*:\([0-9]*\)$' "$output" \
    "$build_dir/tools/monitoring-sim/monitoring-sim" --port 0 --control-port 0
  fleet_port[$fleet]=$started_port
  local deadline=$((SECONDS + 10))
  until fleet_control[$fleet]=$(sed -n 's/.*control on http:\/\/[^:]*:\([0-9]*\)$/\1/p' "$output") &&
    [ -n "${fleet_control[$fleet]}" ]; do
    [ $SECONDS -lt $deadline ] || die "the $fleet monitoring simulator named no control port"
    sleep 0.1
  done
  log "$fleet monitoring simulator on port ${fleet_port[$fleet]} (control ${fleet_control[$fleet]})"
}

write_agent_config() {
  local fleet=$1 k=$2 data_dir=$3
  local cap=${fleet_cap[$fleet]}
  jq -n --arg camera "$camera_port" --arg monitoring "${fleet_port[$fleet]}" \
    --arg device "FLEET-$fleet-$k" --arg address "$(agent_address "$fleet" "$k")" \
    --arg s3 "http://127.0.0.1:$s3_port" --arg bucket "$S3_BUCKET" \
    --arg login "$S3_ACCESS_KEY" --arg password "$S3_SECRET_KEY" \
    --argjson frequency "$task_interval_ms" --arg cap "$cap" \
    '{device_ip: "127.0.0.1", device_port: $camera,
      monitoring_service_address: "http://127.0.0.1", monitoring_service_port: $monitoring,
      korvane_monitoring_client_secret: "sim-secret", korvane_monitoring_device_id: $device,
      monitoring_getting_tasks: true, monitoring_request_frequency: $frequency,
      recognition_image_sending_enable: true, file_storage_service_address: $s3,
      file_storage_service_bucket: $bucket, file_storage_service_login: $login,
      file_storage_service_password: $password, local_api_address: $address}
     + (if $cap == "" then {} else {monitoring_backoff_max_s: ($cap | tonumber)} end)' \
    >"$data_dir/config.json"
}

# The lock file lives in /tmp, so each Agent gets a tmpfs of its own there; its home is outside
# /tmp (checked at start), where that mount cannot hide it.
start_agent() {
  local fleet=$1 k=$2
  local home="$work/$fleet/agent-$k"
  local data_dir="$home/.local/share/KORVANE/PellixAgent"
  mkdir -p "$data_dir" "$home/Documents/KORVANE/PellixAgent"
  write_agent_config "$fleet" "$k" "$data_dir"
  unshare --pid --fork --mount --mount-proc --kill-child=KILL \
    sh -c 'mount -t tmpfs -o size=16m fleet-tmp /tmp && cd "$1" && exec env HOME="$1" "$2"' \
    fleet-agent "$home" "$agent_bin" >"$home/agent.out" 2>&1 &
  agent_units+=($!)
}

agent_answers() {
  curl -s -o /dev/null -m 2 "http://$1:$AGENT_PORT/api/agent/get_info"
}

start_fleet() {
  local fleet=$1 k
  for ((k = 1; k <= agents; k++)); do start_agent "$fleet" "$k"; done
  local deadline=$((SECONDS + 120))
  for ((k = 1; k <= agents; k++)); do
    until agent_answers "$(agent_address "$fleet" "$k")"; do
      [ $SECONDS -lt $deadline ] ||
        die "$fleet Agent $k did not answer within 120 s: $(tail -n 5 "$work/$fleet/agent-$k/agent.out")"
      sleep 0.5
    done
  done
  log "$fleet fleet: $agents Agents answer on $(agent_address "$fleet" 1)..$(agent_address "$fleet" "$agents"):$AGENT_PORT"
}

# --- recording load ----------------------------------------------------------------------------

# One cashier: a get_result + result_feedback pair every rate_s seconds, starting at a random
# point of the first period so that the fleet's pairs spread out. A confirmed sid goes to the
# sids file; a pair whose feedback answer was lost may or may not be recorded and goes to the
# uncertain file, a refused one to the errors file.
cashier() {
  local address=$1 sids=$2 uncertain=$3 errors=$4
  local base="http://$address:$AGENT_PORT/api" result sid id feedback status
  sleep "$((RANDOM % rate_s)).$((RANDOM % 10))"
  while [ ! -e "$load_stop" ]; do
    local started=$SECONDS
    if result=$(curl -s -m 10 "$base/get_result") &&
      [[ $result =~ \"sid\":\"([^\"]+)\" ]]; then
      sid=${BASH_REMATCH[1]}
      [[ $result =~ \"id\":\"([^\"]+)\" ]] && id=${BASH_REMATCH[1]} || id=99999
      status=0
      feedback=$(curl -s -m 10 -X POST -d "{\"sid\":\"$sid\",\"id\":\"$id\",\"method_of_selection\":\"recognition\",\"product_weight\":0.315}" \
        "$base/result_feedback") || status=$?
      if [ "$status" != 0 ]; then
        echo "$sid" >>"$uncertain"
      elif [[ $feedback == *'"code":0'* ]]; then
        echo "$sid" >>"$sids"
      else
        echo "$(date +%s) result_feedback $sid: $feedback" >>"$errors"
      fi
    else
      echo "$(date +%s) get_result: ${result:-no answer}" >>"$errors"
    fi
    local rest=$((rate_s - (SECONDS - started)))
    if [ $rest -gt 0 ]; then sleep "$rest"; fi
  done
}

start_load() {
  local fleet=$1 k
  for ((k = 1; k <= agents; k++)); do
    local stem="$work/$fleet/agent-$k"
    cashier "$(agent_address "$fleet" "$k")" "$stem.sids" "$stem.uncertain" "$stem.errors" &
    sim_pids+=($!)
  done
}

# --- phases ------------------------------------------------------------------------------------

# Unix seconds at which each fleet's phases began, filled in as they happen.
declare -A steady_at outage_at refuse_at recovery_at end_at drained_at

begin_outage() {
  local fleet
  for fleet in "$@"; do
    sim_control "$fleet" POST script '{"method":"*","route":"*","status":503,"sticky":true,"body":{"error":"maintenance"}}' >/dev/null
    outage_at[$fleet]=$(date +%s)
  done
}

refuse_connections() {
  local fleet
  for fleet in "$@"; do
    sim_control "$fleet" POST script/clear '{}' >/dev/null
    sim_control "$fleet" POST down '{"refuse":true}' >/dev/null
    refuse_at[$fleet]=$(date +%s)
  done
}

end_outage() {
  local fleet
  for fleet in "$@"; do
    sim_control "$fleet" POST up >/dev/null
    recovery_at[$fleet]=$(date +%s)
  done
}

# Sids recorded up to a Unix second: the files are appended in time order, so the recovery's
# backlog is what the files held when the outage ended (their line counts are kept then).
declare -A backlog_lines
note_backlog() {
  local fleet=$1 k
  for ((k = 1; k <= agents; k++)); do
    local file="$work/$fleet/agent-$k.sids"
    backlog_lines[$fleet,$k]=$( [ -e "$file" ] && wc -l <"$file" || echo 0)
  done
}

backlog_sids() {
  local fleet=$1 k
  for ((k = 1; k <= agents; k++)); do
    local file="$work/$fleet/agent-$k.sids"
    [ -e "$file" ] && head -n "${backlog_lines[$fleet,$k]}" "$file"
  done
  return 0
}

# How many of the listed sids the simulator has not accepted yet.
missing_count() {
  local fleet=$1 listed=$2
  sim_control "$fleet" GET received/recognition-sessions >"$work/$fleet/accepted.json"
  jq -r 'to_entries[] | select(.value > 0) | .key' "$work/$fleet/accepted.json" | sort -u >"$work/$fleet/accepted.txt"
  sort -u "$listed" | comm -23 - "$work/$fleet/accepted.txt" | wc -l
}

# Polls until every fleet's backlog has arrived or the recovery's deadline passes.
watch_recovery() {
  local fleet pending=("$@")
  for fleet in "$@"; do
    note_backlog "$fleet"
    backlog_sids "$fleet" >"$work/$fleet/backlog.txt"
  done
  local deadline=$((SECONDS + recovery_max_s))
  while [ ${#pending[@]} -gt 0 ] && [ $SECONDS -lt $deadline ]; do
    pause_for 5
    local still=()
    for fleet in "${pending[@]}"; do
      local missing
      missing=$(missing_count "$fleet" "$work/$fleet/backlog.txt")
      if [ "$missing" = 0 ]; then
        drained_at[$fleet]=$(date +%s)
        log "$fleet fleet: backlog drained $((drained_at[$fleet] - recovery_at[$fleet])) s after the outage"
      else
        still+=("$fleet")
      fi
    done
    pending=(${still[@]+"${still[@]}"})
  done
  for fleet in ${pending[@]+"${pending[@]}"}; do
    log "$fleet fleet: backlog not drained within $recovery_max_s s"
  done
}

# Stops recording and gives the Agents time to deliver what the last pairs queued.
finish_load() {
  local fleet
  touch "$load_stop"
  pause_for $((rate_s + 2))
  for fleet in "$@"; do
    cat "$work/$fleet"/agent-*.sids 2>/dev/null | sort >"$work/$fleet/recorded.txt" || true
    local deadline=$((SECONDS + 120))
    while [ "$(missing_count "$fleet" "$work/$fleet/recorded.txt")" != 0 ] && [ $SECONDS -lt $deadline ]; do
      sleep 2
    done
    end_at[$fleet]=$(date +%s)
  done
}

run_phases() {
  local fleet
  for fleet in "$@"; do start_load "$fleet"; steady_at[$fleet]=$(date +%s); done
  log "steady phase ($steady_s s): $* record a pair every $rate_s s per Agent"
  pause_for "$steady_s"
  log "outage: 503 to everything for $((outage_s / 2)) s"
  begin_outage "$@"
  pause_for $((outage_s / 2))
  log "outage: connections refused for $((outage_s - outage_s / 2)) s"
  refuse_connections "$@"
  pause_for $((outage_s - outage_s / 2))
  end_outage "$@"
  log "recovery: the service is back; waiting for the backlog (at most $recovery_max_s s)"
  watch_recovery "$@"
  finish_load "$@"
}

# --- report ------------------------------------------------------------------------------------

phase_of() {
  local fleet=$1 second=$2
  if [ "$second" -lt "${outage_at[$fleet]}" ]; then echo steady
  elif [ "$second" -lt "${refuse_at[$fleet]}" ]; then echo outage-503
  elif [ "$second" -lt "${recovery_at[$fleet]}" ]; then echo outage-refused
  else echo recovery; fi
}

# One row per second from the steady phase's start to the end, zeros where nothing arrived.
write_traffic_csv() {
  local fleet=$1 csv=$2
  sim_control "$fleet" GET "traffic?since=${steady_at[$fleet]}" >"$out_dir/traffic-$fleet.json"
  jq -r --argjson from "${steady_at[$fleet]}" --argjson to "${end_at[$fleet]}" \
    --argjson outage "${outage_at[$fleet]}" --argjson refuse "${refuse_at[$fleet]}" \
    --argjson recovery "${recovery_at[$fleet]}" --arg fleet "$fleet" '
    (.seconds | map({key: (.[0] | tostring), value: .[1:]}) | from_entries) as $rows
    | (.kinds | length) as $width
    | range($from; $to + 1) as $s
    | ($rows[$s | tostring] // [range(0; $width) | 0]) as $counts
    | (if $s < $outage then "steady" elif $s < $refuse then "outage-503"
       elif $s < $recovery then "outage-refused" else "recovery" end) as $phase
    | [$fleet, $s, $s - $from, $phase] + $counts + [($counts | add)] | @csv' \
    "$out_dir/traffic-$fleet.json" >>"$csv"
}

# Sum of the total column over [from, to) of one fleet.
csv_total() {
  awk -F, -v fleet="\"$1\"" -v from="$2" -v to="$3" \
    '$1 == fleet && $2 >= from && $2 < to { sum += $NF } END { print sum + 0 }' "$4"
}

csv_column_total() {
  awk -F, -v fleet="\"$1\"" -v from="$2" -v to="$3" -v column="$4" \
    '$1 == fleet && $2 >= from && $2 < to { sum += $column } END { print sum + 0 }' "$5"
}

csv_peak() {
  awk -F, -v fleet="\"$1\"" -v from="$2" -v to="$3" \
    '$1 == fleet && $2 >= from && $2 < to && $NF > peak { peak = $NF } END { print peak + 0 }' "$4"
}

ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "n/a"; else printf "%.3f", a / b }'
}

# Lost: recorded, never accepted. Duplicated: accepted more than once. Unknown: accepted but
# not among the confirmed pairs (an uncertain pair is allowed to be either).
exactly_once() {
  local fleet=$1 dir="$work/$1"
  cat "$dir"/agent-*.uncertain 2>/dev/null | sort -u >"$dir/uncertain.txt" || true
  sim_control "$fleet" GET received/recognition-sessions >"$dir/accepted.json"
  local recorded lost duplicated unknown uncertain repeated
  recorded=$(wc -l <"$dir/recorded.txt")
  repeated=$(uniq -d "$dir/recorded.txt" | wc -l)
  lost=$(jq -r 'to_entries[] | select(.value > 0) | .key' "$dir/accepted.json" | sort -u |
    comm -23 <(sort -u "$dir/recorded.txt") - | wc -l)
  duplicated=$(jq '[to_entries[] | select(.value > 1)] | length' "$dir/accepted.json")
  unknown=$(jq -r 'to_entries[] | select(.value > 0) | .key' "$dir/accepted.json" | sort -u |
    comm -13 <(sort -u "$dir/recorded.txt" "$dir/uncertain.txt") - | wc -l)
  uncertain=$(wc -l <"$dir/uncertain.txt")
  local errors
  errors=$(cat "$dir"/agent-*.errors 2>/dev/null | wc -l)
  printf '  %-9s recorded %d, lost %d, duplicated %d, unknown %d (uncertain pairs %d, refused pairs %d, sid repeated by the camera %d)\n' \
    "$fleet" "$recorded" "$lost" "$duplicated" "$unknown" "$uncertain" "$errors" "$repeated"
  [ "$recorded" -gt 0 ] && [ "$lost" = 0 ] && [ "$duplicated" = 0 ] && [ "$unknown" = 0 ] && [ "$repeated" = 0 ]
}

goal() {
  local met=$1 text=$2
  if [ "$met" = 1 ]; then echo "  met     $text"; else echo "  MISSED  $text"; missed=1; fi
}

# Compares two decimals: true when a <= b.
at_most() {
  awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }'
}

missed=0
report() {
  local csv="$out_dir/traffic.csv" fleet
  {
    printf '"fleet","unix_second","t","phase"'
    printf ',"%s"' "${KINDS[@]}"
    printf ',"total"\n'
  } >"$csv"
  for fleet in "$@"; do write_traffic_csv "$fleet" "$csv"; done

  echo
  echo "Fleet benchmark: $agents Agents per fleet, a pair every $rate_s s per Agent, steady $steady_s s," \
    "outage $outage_s s (503, then refused), $([ "$sequential" = 1 ] && echo "fleets one after the other" || echo "fleets side by side")"
  echo "Per-second traffic: $csv"
  declare -A steady_rate outage_total peak drain
  local task_column=$((4 + 4))  # fleet, unix_second, t, phase, then the kinds: task is 4th
  for fleet in "$@"; do
    # The first 30 s (a quarter of a short phase) are the Agents settling in.
    local warm=$((steady_s / 4 < 30 ? steady_s / 4 : 30))
    local from=$((steady_at[$fleet] + warm)) to=${outage_at[$fleet]}
    local seconds=$((to - from > 0 ? to - from : 1))
    steady_rate[$fleet]=$(awk -v t="$(csv_total "$fleet" "$from" "$to" "$csv")" -v s="$seconds" 'BEGIN { printf "%.2f", t / s }')
    local passes
    passes=$(awk -v t="$(csv_column_total "$fleet" "$from" "$to" "$task_column" "$csv")" -v s="$seconds" -v n="$agents" \
      'BEGIN { printf "%.2f", t / s / n }')
    outage_total[$fleet]=$(csv_total "$fleet" "${outage_at[$fleet]}" "${recovery_at[$fleet]}" "$csv")
    local refused_part
    refused_part=$(csv_total "$fleet" "${refuse_at[$fleet]}" "${recovery_at[$fleet]}" "$csv")
    peak[$fleet]=$(csv_peak "$fleet" "${recovery_at[$fleet]}" $((recovery_at[$fleet] + 60)) "$csv")
    if [ -n "${drained_at[$fleet]:-}" ]; then
      drain[$fleet]=$((drained_at[$fleet] - recovery_at[$fleet]))
    else
      drain[$fleet]=""
    fi
    echo
    echo "$fleet (monitoring_backoff_max_s ${fleet_cap[$fleet]:-default}):"
    echo "  steady state          ${steady_rate[$fleet]} requests/s (task fetches per Agent per s, i.e. passes: $passes)"
    echo "  outage                ${outage_total[$fleet]} requests in $((recovery_at[$fleet] - outage_at[$fleet])) s ($refused_part while refused)"
    echo "  first minute after    peak ${peak[$fleet]} requests/s = $(ratio "${peak[$fleet]}" "${steady_rate[$fleet]}") x steady"
    echo "  backlog drained       ${drain[$fleet]:-not within $recovery_max_s} s after the outage"
  done

  echo
  echo "Exactly once (sids confirmed by result_feedback vs sessions the service accepted):"
  local once=1
  for fleet in "$@"; do exactly_once "$fleet" || once=0; done

  echo
  echo "Goals:"
  goal "$once" "every recorded recognition arrived exactly once"
  if [ "$smoke" = 1 ]; then return; fi
  local outage_ratio
  outage_ratio=$(ratio "${outage_total[backoff]}" "${outage_total[baseline]}")
  goal "$([ "$outage_ratio" != n/a ] && at_most "$outage_ratio" 0.05 && echo 1 || echo 0)" \
    "outage load backoff/baseline $outage_ratio (at most 0.05)"
  local peak_ratio
  peak_ratio=$(ratio "${peak[backoff]}" "${steady_rate[backoff]}")
  goal "$([ "$peak_ratio" != n/a ] && at_most "$peak_ratio" 3 && echo 1 || echo 0)" \
    "backoff peak in the first minute after the outage $peak_ratio x steady (at most 3)"
  goal "$([ -n "${drain[backoff]}" ] && [ "${drain[backoff]}" -le 900 ] && echo 1 || echo 0)" \
    "backoff backlog drained in ${drain[backoff]:-more than $recovery_max_s} s (at most 900)"
}

# --- main --------------------------------------------------------------------------------------

check_setup() {
  [ "$(id -u)" = 0 ] || die "needs root (PID and mount namespaces, a tmpfs per Agent)"
  local tool
  for tool in unshare jq curl node comm; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-bench-deps.sh installs jq and curl)"
  done
  build_dir=$(realpath "$build_dir")
  agent_bin=$(realpath "${agent_bin:-$build_dir/korvanepellixagent}")
  [ -x "$agent_bin" ] || die "no Agent binary at $agent_bin"
  [ -x "$build_dir/tools/monitoring-sim/monitoring-sim" ] || die "build monitoring-sim in $build_dir first"
  [ -x "$build_dir/tools/camera-sim/camera-sim" ] || die "build camera-sim in $build_dir first"
  [ -e "$build_dir/tools/s3-sim/server.js" ] || die "build s3_sim in $build_dir first"
  out_dir=${out_dir:-$build_dir/fleet-$(date +%Y%m%d-%H%M%S)}
  mkdir -p "$out_dir"
  out_dir=$(realpath "$out_dir")
  # Each Agent's /tmp is a tmpfs of its own; a home below /tmp would vanish under it.
  case $out_dir/ in /tmp/*) die "--out must not be under /tmp" ;; esac
}

main() {
  parse_args "$@"
  check_setup
  work="$out_dir/work"
  rm -rf "$work"
  mkdir -p "$work"
  load_stop="$work/load.stop"
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM

  start_shared_sims
  local fleets=(backoff baseline) fleet
  for fleet in "${fleets[@]}"; do start_monitoring_sim "$fleet"; done
  if [ "$sequential" = 1 ]; then
    for fleet in "${fleets[@]}"; do
      rm -f "$load_stop"
      start_fleet "$fleet"
      run_phases "$fleet"
      stop_agents
    done
  else
    for fleet in "${fleets[@]}"; do start_fleet "$fleet"; done
    run_phases "${fleets[@]}"
  fi
  report "${fleets[@]}" >"$out_dir/summary.txt"
  cat "$out_dir/summary.txt"
  stop_agents
  [ "$missed" = 0 ] || exit 2
}

main "$@"
