#!/usr/bin/env bash
# Installs the Debian packages the Agent, its tests and its simulators need.
# Idempotent: packages already present are skipped, so a second run does nothing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  dpkg-dev file
  libpoco-dev
  libboost1.81-dev libboost-json1.81-dev
  libspdlog-dev libfmt-dev
  libsqlite3-dev sqlite3
  libsystemd-dev
  libssl-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  nodejs npm
  # promtool and a prometheus server for the tests of the Agent's metrics, which start their
  # own server on a free port.
  prometheus
  # The store-network tests: a forward proxy the tests run with their own configuration, a
  # clock shifted for one process, and the CLI that makes their private CA and certificates.
  tinyproxy
  faketime libfaketime
  openssl
  # The fleet's smoke run drives its Agents and reads its simulators with them.
  curl jq util-linux iproute2
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

# npm may come from outside Debian's packaging; accept whatever is on PATH.
if command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1; then
  filtered=()
  for pkg in "${missing[@]}"; do
    [[ "$pkg" == nodejs || "$pkg" == npm ]] || filtered+=("$pkg")
  done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

# The tests start their own prometheus and tinyproxy on free ports; the packaged services are
# not wanted.
"$(dirname "$0")/apt-install-quiet.sh" "${missing[@]}"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# The quiet install keeps the packaged tinyproxy from starting, but its scripts still enable it
# for the next boot. Only a copy installed here is switched off; one that was there before
# stays as its owner set it up.
if [[ " ${missing[*]} " == *" tinyproxy "* ]]; then
  pidfile=/run/tinyproxy/tinyproxy.pid
  if [ -s "$pidfile" ] && $SUDO kill -0 "$(cat "$pidfile")" 2>/dev/null; then
    echo "Stopping the packaged tinyproxy that started anyway"
    $SUDO service tinyproxy stop >/dev/null 2>&1 || $SUDO kill -TERM "$(cat "$pidfile")"
  fi
  if command -v systemctl >/dev/null 2>&1 &&
    systemctl is-enabled --quiet tinyproxy.service 2>/dev/null; then
    $SUDO systemctl disable --quiet tinyproxy.service
  fi
  if ls /etc/rc[2-5].d/S*tinyproxy >/dev/null 2>&1; then
    $SUDO update-rc.d tinyproxy disable >/dev/null
  fi
fi
