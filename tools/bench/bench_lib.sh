# Process handling shared by the benchmarks: sourced, not run. The including script sets
# agent_pid, sim_pid, nginx_pid and work as it starts things; cleanup stops whatever is set.

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
nginx_pid=""
agent_pid=""
work=""

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$agent_pid" ]; then stop_child "$agent_pid" TERM 20; fi
  if [ -n "$nginx_pid" ]; then stop_child "$nginx_pid" TERM 10; fi
  if [ -n "$sim_pid" ]; then stop_child "$sim_pid" TERM 10; fi
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
