#!/usr/bin/env bash
# What a recognition costs the Agent's store: N pairs of GET /api/get_result + POST
# /api/result_feedback through the Agent against the camera simulator, at 1 and at 8 concurrent
# clients, beside the floor (the same SQL statements in the same transactions, run straight on a
# copy of the Agent's database with SQLite) and beside the camera requests of a pair made
# directly. Both SQLite journal settings are measured: the rollback journal the Agent gets by
# default, and WAL with synchronous FULL (the database file is switched to WAL before the Agent
# starts; the setting is kept in the file). The Agent's runs are repeated with its images folder
# at its budget (20,000 small pictures already there) to show what keeping the folder within
# images_max_mb costs a feedback, and with the folder empty while /metrics is scraped once a
# second, to show what scraping costs a pair. A measurement, not a test: it passes or fails only
# on setting up and shutting down.
#
# Usage: tools/bench/feedback_pairs.sh [build-dir] [pairs]
#   build-dir  holds korvanepellixagent, tools/camera-sim/camera-sim and
#              tools/feedback-load-client (default: build)
#   pairs      pairs per measured run (default: 2000)
# Environment: BENCH_WAIT=seconds to wait for port 5555 to become free (default 0: stop at once),
# BENCH_STRICT=1 to exit 2 when a goal is missed, BENCH_KEEP=1 to keep the work folder.
#
# The Agent listens on the fixed port 5555 and guards itself with a fixed lock file, so
# nothing else may run an Agent meanwhile (not the end-to-end tests either).
set -euo pipefail

readonly GOAL_FEEDBACK_P99_MS=15
readonly GOAL_FLOOR_RATIO=3
readonly WARMUP_PAIRS=100
# result_feedback p95 with the images folder at its budget, at most this many times the p95
# with an empty folder.
readonly GOAL_FULL_FOLDER_RATIO=2
# The full folder: this many pictures filling images_max_mb to the byte, so that every saved
# picture passes the budget (about a kilobyte each, as many as a small budget holds).
readonly FULL_FOLDER_IMAGES=20000
readonly FULL_FOLDER_BUDGET_MB=20
# Five candidates: the most rows a feedback writes.
readonly CANDIDATES=(10001 10002 10003 10004 10005)

usage() {
  echo "usage: $0 [build-dir] [pairs]" >&2
  exit 64
}

die() {
  echo "feedback_pairs: $*" >&2
  exit 1
}

[ $# -le 2 ] || usage
case "${1:-}" in -h | --help) usage ;; esac
build_arg=${1:-build}
pairs=${2:-2000}
[[ "$pairs" =~ ^[1-9][0-9]*$ ]] || die "pairs must be a positive whole number, got '$pairs'"
[ -d "$build_arg" ] || die "no build folder '$build_arg'"
build_dir=$(realpath "$build_arg")
agent_bin="$build_dir/korvanepellixagent"
sim_bin="$build_dir/tools/camera-sim/camera-sim"
load_bin="$build_dir/tools/feedback-load-client"
wait_free=${BENCH_WAIT:-0}
[[ "$wait_free" =~ ^[0-9]+$ ]] || die "BENCH_WAIT must be a whole number of seconds"

for tool in curl ss awk flock sqlite3 split; do
  command -v "$tool" >/dev/null 2>&1 || die "'$tool' is missing"
done
[ -x "$agent_bin" ] || die "no Agent at $agent_bin (cmake --build $build_dir --target korvanepellixagent)"
[ -x "$sim_bin" ] || die "no camera simulator at $sim_bin (cmake --build $build_dir --target camera-sim)"
[ -x "$load_bin" ] || die "no load client at $load_bin (cmake --build $build_dir --target feedback-load-client)"

# ---------------------------------------------------------------------------------------------
# Processes

# shellcheck source=tools/bench/bench_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_lib.sh"

# ---------------------------------------------------------------------------------------------
# Nothing else may hold the Agent's port, lock or process name.

wait_until_free "$wait_free"

work=$(mktemp -d "${TMPDIR:-/tmp}/feedback-pairs.XXXXXX")

# ---------------------------------------------------------------------------------------------
# Camera simulator, answering every get_result with the same five candidates

"$sim_bin" --port 0 --host 127.0.0.1 >"$work/camera-sim.log" 2>&1 &
sim_pid=$!
sim_ready() { grep -qs 'camera-sim listening on' "$work/camera-sim.log"; }
wait_until "camera-sim" "$sim_pid" 15 sim_ready ||
  die "camera-sim ended at start: $(cat "$work/camera-sim.log")"
camera_port=$(sed -n 's/.*camera-sim listening on [^ ]*:\([0-9][0-9]*\).*/\1/p' "$work/camera-sim.log" | head -1)
[ -n "$camera_port" ] || die "cannot read camera-sim's port from: $(cat "$work/camera-sim.log")"

fixed=""
score=90
for id in "${CANDIDATES[@]}"; do
  fixed+="${fixed:+,}{\"id\":\"$id\",\"score\":0.$score}"
  score=$((score - 10))
done
curl -sf -o /dev/null --max-time 10 -X POST -H 'Content-Type: application/json' \
  -d "{\"fixed_result\":[$fixed]}" "http://127.0.0.1:$camera_port/sim/config" ||
  die "camera-sim refused its configuration"
candidate_list=$(
  IFS=,
  echo "${CANDIDATES[*]}"
)

# ---------------------------------------------------------------------------------------------
# Runs

declare -A figures=()

# load KEY ARGS...: runs the load client, its key=value line kept under KEY.
load() {
  local key=$1
  shift
  local line
  line=$("$load_bin" "$@" 2>"$work/load-$key.err") ||
    die "feedback-load-client $* failed: $(cat "$work/load-$key.err")"
  figures[$key]=$line
  if [ -s "$work/load-$key.err" ]; then
    echo "feedback_pairs: $key: $(head -c 300 "$work/load-$key.err")" >&2
  fi
  if [ -n "$agent_pid" ] && ! alive "$agent_pid"; then
    die "the Agent died during the run: $(tail -n 20 "$agent_log")"
  fi
}

# The value of NAME in the figures under KEY.
value() {
  local pair
  for pair in ${figures[$1]}; do
    if [ "${pair%%=*}" = "$2" ]; then
      echo "${pair#*=}"
      return
    fi
  done
  echo n/a
}

# What the camera costs a pair when asked directly, on a new connection per request as the
# Agent's client asks it.
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
load camera-warmup camera --port "$camera_port" --pairs "$WARMUP_PAIRS" --clients 2 --new-connections
for clients in 1 8; do
  load "camera:$clients" camera --port "$camera_port" --pairs "$pairs" --clients "$clients" \
    --new-connections
done

# scrape_metrics FILE: GET /metrics once a second, each answer's HTTP status appended to FILE.
# The loop watches this script, so a run that dies leaves no loop behind.
scrape_metrics() {
  local script_pid=$$
  while kill -0 "$script_pid" 2>/dev/null; do
    curl -s -o /dev/null -w '%{http_code}\n' --max-time 5 \
      "http://127.0.0.1:$AGENT_PORT/metrics" >>"$1" || true
    sleep 1
  done
}

declare -A stored=()
# The Agent's processor time (user + system) per pair: unlike the latencies, it hardly moves
# with what else runs on the machine, so runs at different loads can be compared by it.
declare -A cpu_per_pair=()
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
for mode in delete wal; do
  home="$work/$mode"
  data="$home/.local/share/KORVANE/PellixAgent"
  mkdir -p "$data"
  printf '{"device_ip":"127.0.0.1","device_port":"%s"}\n' "$camera_port" >"$data/config.json"
  # A first start creates and migrates the database; the floor gets a copy of it as it is then.
  start_agent "$home"
  stop_agent
  cp "$data/service.db" "$home/floor.db"
  [ "$(sqlite3 "$home/floor.db" "PRAGMA journal_mode=$mode;")" = "$mode" ] ||
    die "cannot switch $home/floor.db to $mode"
  # The Agent opens its database in WAL mode itself; the rollback journal is measured on the
  # floor only, for comparison.
  if [ "$mode" = wal ]; then
  start_agent "$home"
  load "agent-warmup:$mode" agent --port "$AGENT_PORT" --pairs "$WARMUP_PAIRS" --clients 2
  for clients in 1 8; do
    ticks_before=$(cpu_ticks "$agent_pid")
    load "agent:$mode:$clients" agent --port "$AGENT_PORT" --pairs "$pairs" --clients "$clients"
    cpu_per_pair[$mode:$clients]=$(awk -v a="$ticks_before" -v b="$(cpu_ticks "$agent_pid")" \
      -v hz="$(getconf CLK_TCK)" -v n="$pairs" 'BEGIN { printf "%.0f", (b - a) / hz / n * 1e6 }')
  done
  : >"$work/scrapes"
  scrape_metrics "$work/scrapes" &
  scrape_pid=$!
  for clients in 1 8; do
    load "scraped:$clients" agent --port "$AGENT_PORT" --pairs "$pairs" --clients "$clients"
  done
  stop_child "$scrape_pid" TERM 10
  # The store grows with every run, so the unscraped runs are repeated after the scraped ones
  # and the scraped runs are set against the mean of before and after.
  for clients in 1 8; do
    load "unscraped:$clients" agent --port "$AGENT_PORT" --pairs "$pairs" --clients "$clients"
  done
  stop_agent
  # Every answered feedback must be in the store whole.
  expected=$((WARMUP_PAIRS + $(value "agent:$mode:1" pairs) + $(value "agent:$mode:8" pairs) +
    $(value scraped:1 pairs) + $(value scraped:8 pairs) +
    $(value unscraped:1 pairs) + $(value unscraped:8 pairs)))
  stored[$mode]=$(sqlite3 "$data/service.db" "PRAGMA journal_mode;
    SELECT COUNT(*) FROM recognition_queue;
    SELECT COUNT(*) FROM recognition_queue q WHERE (SELECT COUNT(*) FROM recognition_values v
      WHERE v.rid = q.id) = ${#CANDIDATES[@]};
    SELECT SUM(weightings_count) FROM prediction_daily;" | paste -sd' ')
  stored[$mode]="${stored[$mode]} $expected"
  fi

  load "floor:$mode" floor --db "$home/floor.db" --pairs "$pairs" --candidates "$candidate_list"
done

# fill_folder FOLDER: FULL_FOLDER_IMAGES pictures of nearly equal size taking exactly
# FULL_FOLDER_BUDGET_MB, written oldest first by one process (a shell loop would take minutes).
fill_folder() {
  local bytes=$((FULL_FOLDER_BUDGET_MB * 1024 * 1024))
  head -c "$bytes" /dev/zero >"$work/fill"
  (cd "$1" && split -n "$FULL_FOLDER_IMAGES" -a 5 -d --additional-suffix=.jpg "$work/fill" fill-)
  rm -f "$work/fill"
  [ "$(find "$1" -name '*.jpg' | wc -l)" -eq "$FULL_FOLDER_IMAGES" ] ||
    die "cannot fill $1 with $FULL_FOLDER_IMAGES pictures"
}

# The Agent's runs again, its images folder at its budget before the warm-up.
home="$work/full"
data="$home/.local/share/KORVANE/PellixAgent"
images="$home/images"
mkdir -p "$data" "$images"
printf '{"device_ip":"127.0.0.1","device_port":"%s","product_prediction_data_folder_path":"%s","images_max_mb":%s}\n' \
  "$camera_port" "$images" "$FULL_FOLDER_BUDGET_MB" >"$data/config.json"
start_agent "$home"
stop_agent
fill_folder "$images"
start_agent "$home"
load "agent-warmup:full" agent --port "$AGENT_PORT" --pairs "$WARMUP_PAIRS" --clients 2
for clients in 1 8; do
  load "agent:full:$clients" agent --port "$AGENT_PORT" --pairs "$pairs" --clients "$clients"
done
stop_agent
folder_after=$(find "$images" -name '*.jpg' -printf '%s\n' | awk '{ n++; b += $1 } END { print n + 0, b + 0 }')

cp "$work/delete/.local/share/KORVANE/PellixAgent/service.db" "$work/normal.db"
load "floor:wal-normal" floor --db "$work/normal.db" --pairs "$pairs" --candidates "$candidate_list" \
  --journal wal --synchronous normal
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------------------------------------
# Report

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "n/a" && b != "n/a" && b > 0) printf "%.2f", a / b; else printf "n/a" }'; }
at_most() { awk -v v="$1" -v g="$2" 'BEGIN { exit !(v != "n/a" && v + 0 <= g + 0) }'; }
verdict() { if "$@"; then echo met; else echo MISSED; fi; }
max_of() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "n/a" || b == "n/a") print "n/a"; else print (a > b ? a : b) }'; }

row() {
  local key=$1 label=$2 clients=$3
  printf '  %-28s %7s %9s %8s %8s %8s %8s %8s %8s %7s\n' "$label" "$clients" \
    "$(value "$key" pairs_per_s)" \
    "$(value "$key" result_p50_ms)" "$(value "$key" result_p99_ms)" \
    "$(value "$key" feedback_p50_ms)" "$(value "$key" feedback_p99_ms)" \
    "$(value "$key" pair_p50_ms)" "$(value "$key" pair_p99_ms)" "$(value "$key" errors)"
}

echo "Recognition + feedback pairs: what the Agent's store costs the point-of-sale software"
echo "  Agent    $agent_bin"
echo "  camera   camera-sim 127.0.0.1:$camera_port, ${#CANDIDATES[@]} candidates per result;" \
  "the operator takes rank 1..5 or an unproposed product in turn"
echo "  runs     $pairs pairs each after $WARMUP_PAIRS warm-up pairs; $(nproc) CPUs," \
  "load average $load_before before, $load_after after"
echo "  floor    the Agent's statements in its two transactions per pair, prepared once," \
  "on a copy of the freshly migrated service.db, one pair after the other"
echo
printf '  %-28s %7s %9s %17s %17s %17s %7s\n' "" "" "" "get_result ms" "result_feedback ms" \
  "pair ms" ""
printf '  %-28s %7s %9s %8s %8s %8s %8s %8s %8s %7s\n' target clients "pairs/s" p50 p99 p50 p99 \
  p50 p99 errors
row camera:1 "camera directly" 1
row camera:8 "camera directly" 8
row floor:delete "floor, rollback journal" seq
row agent:wal:1 "agent, WAL + FULL" 1
row agent:wal:8 "agent, WAL + FULL" 8
row scraped:1 "agent, /metrics scraped 1/s" 1
row scraped:8 "agent, /metrics scraped 1/s" 8
row floor:wal "floor, WAL + FULL" seq
row floor:wal-normal "floor, WAL + NORMAL" seq
echo "  (camera: get_result, then result_feedback + get_image; floor: the prediction transaction," \
  "then the feedback transaction)"

echo
echo "Stored after the runs             journal   entries  whole  weighings  answered"
for mode in wal; do
  read -r journal entries whole weighings expected <<<"${stored[$mode]}"
  printf '  %-32s %-8s %8s %6s %10s %9s\n' "agent, $mode" "$journal" "$entries" "$whole" \
    "$weighings" "$expected"
done

slower() { ratio "$(value "floor:$1" pairs_per_s)" "$(value "agent:$1:$2" pairs_per_s)"; }
echo
echo "Floor/agent throughput (how many times the floor is faster; goal at most ${GOAL_FLOOR_RATIO}x)"
printf '  %-28s %10s %10s\n' "" "1 client" "8 clients"
printf '  %-28s %9sx %9sx\n' "WAL + FULL" "$(slower wal 1)" "$(slower wal 8)"
echo "WAL + FULL against the rollback journal (times faster)"
printf '  %-28s %9sx %10s\n' "floor pairs/s" \
  "$(ratio "$(value floor:wal pairs_per_s)" "$(value floor:delete pairs_per_s)")" ""

# What is left of a pair at 1 client once the camera's and the store's own shares are taken
# out: HTTP, parsing, the data-access layer, logging, the image file.
own() {
  awk -v a="$(value "agent:$1:1" pair_p50_ms)" -v c="$(value camera:1 pair_p50_ms)" \
    -v f="$(value "floor:$1" pair_p50_ms)" \
    'BEGIN { if (a == "n/a" || c == "n/a" || f == "n/a") print "n/a"; else printf "%.3f ms of %.3f ms (%.2fx camera + floor)", a - c - f, a, a / (c + f) }'
}
echo "The Agent's own share of a pair at 1 client (p50: agent - camera directly - floor)"
printf '  %-28s %s\n' "WAL + FULL" "$(own wal)"
echo "The Agent's processor time per pair (user + system, microseconds)"
printf '  %-28s %10s %10s\n' "" "1 client" "8 clients"
printf '  %-28s %10s %10s\n' "WAL + FULL" "${cpu_per_pair[wal:1]:-n/a}" "${cpu_per_pair[wal:8]:-n/a}"

full_ratio() { ratio "$(value "agent:full:$1" feedback_p95_ms)" "$(value "agent:wal:$1" feedback_p95_ms)"; }
read -r full_count full_bytes <<<"$folder_after"
echo "The images folder at its budget: $FULL_FOLDER_IMAGES pictures filling images_max_mb" \
  "$FULL_FOLDER_BUDGET_MB before the warm-up"
printf '  %-28s %10s %10s\n' "result_feedback p95 ms" "1 client" "8 clients"
for key in wal full; do
  label="empty folder"
  [ "$key" = full ] && label="at its budget"
  printf '  %-28s %10s %10s\n' "$label" "$(value "agent:$key:1" feedback_p95_ms)" \
    "$(value "agent:$key:8" feedback_p95_ms)"
done
printf '  %-28s %9sx %9sx\n' "at its budget / empty" "$(full_ratio 1)" "$(full_ratio 8)"
echo "  after the runs: $full_count pictures, $full_bytes bytes" \
  "(budget $((FULL_FOLDER_BUDGET_MB * 1024 * 1024)) bytes)"

scraped_ratio() {
  local unscraped
  unscraped=$(awk -v a="$(value "agent:wal:$2" "$1")" -v b="$(value "unscraped:$2" "$1")" \
    'BEGIN { if (a == "n/a" || b == "n/a") print "n/a"; else print (a + b) / 2 }')
  ratio "$(value "scraped:$2" "$1")" "$unscraped"
}
echo "Scraping /metrics once a second (WAL + FULL, empty folder; unscraped = mean of the runs before and after):" \
  "$(wc -l <"$work/scrapes") scrapes, $(grep -c '^200$' "$work/scrapes" || true) answered 200"
printf '  %-28s %10s %10s\n' "scraped / unscraped" "1 client" "8 clients"
scraped_row() {
  printf '  %-28s %9sx %9sx\n' "$1" "$(scraped_ratio "$2" 1)" "$(scraped_ratio "$2" 8)"
}
scraped_row "get_result p50" result_p50_ms
scraped_row "get_result p95" result_p95_ms
scraped_row "result_feedback p50" feedback_p50_ms
scraped_row "result_feedback p95" feedback_p95_ms

p99_wal=$(value agent:wal:8 feedback_p99_ms)
ratio_wal=$(max_of "$(slower wal 1)" "$(slower wal 8)")
goal_p99=$(verdict at_most "$p99_wal" "$GOAL_FEEDBACK_P99_MS")
goal_ratio=$(verdict at_most "$ratio_wal" "$GOAL_FLOOR_RATIO")
errors=0
for key in agent:wal:1 agent:wal:8 scraped:1 scraped:8 unscraped:1 unscraped:8; do
  errors=$((errors + $(value "$key" errors)))
done
goal_errors=$(verdict test "$errors" -eq 0)
ratio_full=$(max_of "$(full_ratio 1)" "$(full_ratio 8)")
goal_full=$(verdict at_most "$ratio_full" "$GOAL_FULL_FOLDER_RATIO")

echo
echo "Goals (the Agent as it stands: WAL + FULL)"
printf '  %-52s %-8s %s\n' \
  "result_feedback p99 at 8 clients under ${GOAL_FEEDBACK_P99_MS} ms" "$goal_p99" \
  "(${p99_wal} ms)" \
  "Agent within ${GOAL_FLOOR_RATIO}x of the floor (pairs/s, 1 and 8 clients)" "$goal_ratio" \
  "(worst ${ratio_wal}x)" \
  "no failed pair through the Agent" "$goal_errors" "($errors)" \
  "result_feedback p95, folder at budget, within ${GOAL_FULL_FOLDER_RATIO}x" "$goal_full" \
  "(worst ${ratio_full}x)"

if [ "${BENCH_STRICT:-0}" = 1 ] &&
  [[ "$goal_p99 $goal_ratio $goal_errors $goal_full" == *MISSED* ]]; then
  exit 2
fi
