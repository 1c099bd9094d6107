#!/usr/bin/env bash
# Installs what the benchmarks in tools/bench and tools/fleet need: wrk as the load client,
# nginx as the reference proxy, curl and jq for the fleet's cashiers and its report. Idempotent:
# when all are present it does nothing.
#
# The benchmark runs nginx itself with a private configuration, so the system service that
# Debian's package would start on port 80 is never wanted: the install runs under a
# policy-rc.d that forbids starting services, and a system nginx that runs anyway afterwards
# (started by an older package version's scripts, say) is stopped again.
set -euo pipefail

PACKAGES=(wrk nginx-light curl jq)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
"$(dirname "$0")/apt-install-quiet.sh" "${missing[@]}"

# Only the copy installed here is switched off; a system nginx that was there before stays as
# it was.
if [[ " ${missing[*]} " == *" nginx-light "* ]]; then
  if [ -d /run/systemd/system ] && command -v systemctl >/dev/null 2>&1; then
    $SUDO systemctl stop nginx.service >/dev/null 2>&1 || true
    $SUDO systemctl disable nginx.service >/dev/null 2>&1 || true
  elif [ -s /run/nginx.pid ] && $SUDO kill -0 "$(cat /run/nginx.pid)" 2>/dev/null; then
    $SUDO service nginx stop >/dev/null 2>&1 || $SUDO kill -TERM "$(cat /run/nginx.pid)" || true
  fi
fi
