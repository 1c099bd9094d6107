#!/usr/bin/env bash
# Starts the camera simulator on loopback and the Agent in the foreground against a development
# home folder, with the Agent pointed at the simulator. Ctrl-C stops both.
set -euo pipefail
build_dir=$(realpath "${1:-build}")
run_home=${2:-$build_dir/run-home}
camera_port=${CAMERA_SIM_PORT:-18080}
data_dir="$run_home/.local/share/KORVANE/PellixAgent"
mkdir -p "$data_dir" "$run_home/Documents/KORVANE/PellixAgent"

"$build_dir/tools/camera-sim/camera-sim" --port "$camera_port" --state-dir "$run_home/camera-sim" &
camera_pid=$!
trap 'kill $camera_pid 2>/dev/null || true' EXIT

# Imported once at the Agent's start, then deleted by it.
printf '{"device_ip":"127.0.0.1","device_port":"%s"}\n' "$camera_port" > "$data_dir/config.json"

echo "Agent home: $run_home (log: $data_dir/logs)"
echo "Camera simulator: 127.0.0.1:$camera_port (control API: /sim/..., see tools/camera-sim/README.md)"
echo "Try: curl -s -X POST -d '{}' localhost:5555/api/agent/get_config"
env HOME="$run_home" "$build_dir/korvanepellixagent"
