#!/usr/bin/env bash
# Starts the three simulators on loopback (camera module, monitoring service, object store) and
# the Agent in the foreground against a development home folder, with the Agent pointed at all
# of them. Ctrl-C, SIGTERM or SIGHUP stop everything. MONITORING=off leaves the monitoring
# service and the store out (the Agent then only serves the local API and the camera).
set -euo pipefail
build_dir=$(realpath "${1:-build}")
run_home=${2:-$build_dir/run-home}
camera_port=${CAMERA_SIM_PORT:-18080}
monitoring_port=${MONITORING_SIM_PORT:-18081}
s3_port=${S3_SIM_PORT:-18082}
monitoring=${MONITORING:-on}
data_dir="$run_home/.local/share/KORVANE/PellixAgent"
mkdir -p "$data_dir" "$run_home/Documents/KORVANE/PellixAgent" "$run_home/s3-sim"

pids=()
stop_all() {
  trap - EXIT INT TERM HUP
  kill "${pids[@]}" 2>/dev/null || true
  wait "${pids[@]}" 2>/dev/null || true
}
trap stop_all EXIT
# Bash runs a trap only once its foreground command ends, so every child runs in the background
# and the script waits for them: a signal then reaches the trap at once.
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
trap 'stop_all; exit 129' HUP

"$build_dir/tools/camera-sim/camera-sim" --port "$camera_port" --state-dir "$run_home/camera-sim" &
pids+=($!)

config=$(printf '"device_ip":"127.0.0.1","device_port":"%s"' "$camera_port")
if [ "$monitoring" = on ]; then
  "$build_dir/tools/monitoring-sim/monitoring-sim" --port "$monitoring_port" &
  pids+=($!)
  node "$build_dir/tools/s3-sim/server.js" --port "$s3_port" --bucket pellix \
    --access-key DEVACCESSKEY --secret-key dev-secret-key --data-dir "$run_home/s3-sim" &
  pids+=($!)
  config+=$(printf ',"monitoring_service_address":"http://127.0.0.1","monitoring_service_port":"%s"' "$monitoring_port")
  config+=',"korvane_monitoring_client_secret":"sim-secret","korvane_monitoring_device_id":"DEV-1"'
  config+=',"monitoring_getting_tasks":true,"monitoring_request_frequency":2000'
  config+=',"recognition_image_sending_enable":true'
  config+=$(printf ',"file_storage_service_address":"http://127.0.0.1:%s"' "$s3_port")
  config+=',"file_storage_service_bucket":"pellix","file_storage_service_login":"DEVACCESSKEY"'
  config+=',"file_storage_service_password":"dev-secret-key"'
else
  config+=',"monitoring_service_address":""'
fi
# Imported once at the Agent's start, then deleted by it.
printf '{%s}\n' "$config" > "$data_dir/config.json"

echo "Agent home: $run_home (log: $data_dir/logs)"
echo "Camera simulator: 127.0.0.1:$camera_port (control API: /sim/..., tools/camera-sim/README.md)"
if [ "$monitoring" = on ]; then
  echo "Monitoring simulator: 127.0.0.1:$monitoring_port (control API: /sim/..., tools/monitoring-sim/README.md)"
  echo "Object store simulator: 127.0.0.1:$s3_port, bucket pellix (control API: /_sim/..., tools/s3-sim/README.md)"
fi
echo "Try: curl -s localhost:5555/api/get_result; curl -s -X POST -d '{}' localhost:5555/api/agent/get_config"
env HOME="$run_home" "$build_dir/korvanepellixagent" &
agent=$!
pids+=("$agent")
wait "$agent"
