#!/usr/bin/env bash
# Starts the Agent in the foreground against a development home folder.
set -euo pipefail
build_dir=$(realpath "${1:-build}")
run_home=${2:-$build_dir/run-home}
mkdir -p "$run_home/.local/share/KORVANE/PellixAgent" "$run_home/Documents/KORVANE/PellixAgent"
echo "Agent home: $run_home (log: $run_home/.local/share/KORVANE/PellixAgent/logs)"
echo "Try: curl -s -X POST -d '{}' localhost:5555/api/agent/get_config"
exec env HOME="$run_home" "$build_dir/korvanepellixagent"
