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

# The tests start their own prometheus on a free port; the packaged service is not wanted.
"$(dirname "$0")/apt-install-quiet.sh" "${missing[@]}"
