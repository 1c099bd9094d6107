# Process handling shared by the benchmarks: sourced, not run. The including script sets
# agent_pid, sim_pid, s3_pid, nginx_pid and work as it starts things; cleanup stops whatever
# is set.
# start_agent and stop_agent expect agent_bin and a die function of the including script.

readonly AGENT_PORT=5555
readonly AGENT_LOCK=/tmp/korvane_pellix_agent.lock
# The executable names the Agent's single-instance check refuses to start beside.
readonly RELATED_NAMES=(korvanepellixagent korvanemonitoringagent)

port_listening() {
  ss -ltnH "sport = :$1" | grep -q .
}

# A child that has exited stays a zombie until waited for, and kill -0 still reaches it.
alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

# Sends a signal to one of our children and waits for it to end, leaving its exit status in
# $stopped_status, or "killed" when it outlived the deadline. Not for a subshell: only this
# shell can wait for its children.
stopped_status=""
stop_child() {
  local pid=$1 signal=$2 seconds=$3
  kill "-$signal" "$pid" 2>/dev/null || true
  local deadline=$((SECONDS + seconds))
  while alive "$pid" && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  if alive "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    stopped_status=killed
    return
  fi
  stopped_status=0
  wait "$pid" 2>/dev/null || stopped_status=$?
}

sim_pid=""
s3_pid=""
nginx_pid=""
agent_pid=""
work=""

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$agent_pid" ]; then stop_child "$agent_pid" TERM 20; fi
  if [ -n "$nginx_pid" ]; then stop_child "$nginx_pid" TERM 10; fi
  if [ -n "$sim_pid" ]; then stop_child "$sim_pid" TERM 10; fi
  if [ -n "$s3_pid" ]; then stop_child "$s3_pid" TERM 10; fi
  if [ -n "$work" ]; then
    if [ "${BENCH_KEEP:-0}" = 1 ]; then
      echo "Work folder kept: $work" >&2
    else
      rm -rf "$work"
    fi
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Polls a command until it succeeds, failing when the deadline passes or the process it waits
# for has gone.
wait_until() {
  local what=$1 pid=$2 seconds=$3
  shift 3
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    alive "$pid" || return 1
    [ $SECONDS -lt $deadline ] || die "$what did not come up within ${seconds} s"
    sleep 0.1
  done
}

# Empty when the way is clear, else what is in the way.
in_the_way() {
  if port_listening "$AGENT_PORT"; then
    echo "port $AGENT_PORT is in use (an Agent or an end-to-end test is probably running):
$(ss -ltnpH "sport = :$AGENT_PORT")"
    return
  fi
  local proc exe name
  for proc in /proc/[0-9]*; do
    exe=$(readlink "$proc/exe" 2>/dev/null) || continue
    exe=${exe% (deleted)}
    for name in "${RELATED_NAMES[@]}"; do
      if [ "${exe##*/}" = "$name" ]; then
        echo "another Agent process runs (pid ${proc#/proc/}: $exe)"
        return
      fi
    done
  done
  if [ -e "$AGENT_LOCK" ] && ! flock -n "$AGENT_LOCK" true; then
    echo "$AGENT_LOCK is locked by another process"
  fi
}

# Starts the Agent with HOME (and working folder) home, its output appended to agent_log
# (default home/agent.log), and waits until it listens.
agent_log=""
start_agent() {
  local home=$1
  agent_log=${2:-$home/agent.log}
  (cd "$home" && exec env HOME="$home" "$agent_bin") >>"$agent_log" 2>&1 &
  agent_pid=$!
  agent_ready() { port_listening "$AGENT_PORT"; }
  wait_until "the Agent" "$agent_pid" 60 agent_ready ||
    die "the Agent ended at start: $(tail -n 20 "$agent_log")"
}

# Stops the Agent with SIGTERM; it must exit with status 0.
stop_agent() {
  stop_child "$agent_pid" TERM 20
  agent_pid=""
  [ "$stopped_status" = 0 ] ||
    die "the Agent stopped with status $stopped_status (0 expected): $(tail -n 20 "$agent_log")"
}

# Waits up to $1 seconds for port, lock and process name to be free; dies naming what is in
# the way when they are not.
wait_until_free() {
  local deadline=$((SECONDS + $1)) obstacle
  while obstacle=$(in_the_way) && [ -n "$obstacle" ]; do
    [ $SECONDS -lt $deadline ] || die "$obstacle
Stop it (or set BENCH_WAIT=seconds to wait for it) and run the benchmark again."
    sleep 1
  done
}

# Starts the monitoring simulator on a free loopback port, its output in work/monitoring-sim.log;
# sets sim_pid and sim_port. Expects monitoring_bin.
sim_port=""
start_monitoring_sim() {
  "$monitoring_bin" --port 0 --host 127.0.0.1 "$@" >"$work/monitoring-sim.log" 2>&1 &
  sim_pid=$!
  sim_ready() { grep -qs 'monitoring-sim listening on' "$work/monitoring-sim.log"; }
  wait_until "monitoring-sim" "$sim_pid" 15 sim_ready || die "monitoring-sim ended at start"
  sim_port=$(sed -n 's/.*listening on [^ ]*:\([0-9][0-9]*\).*/\1/p' "$work/monitoring-sim.log" | head -1)
}
