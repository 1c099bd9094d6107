#!/usr/bin/env bash
# Installs the given Debian packages without starting any service they bring: the project's
# tests and benchmarks start their own copies (prometheus, nginx) with private configurations
# and ports. The install runs under a policy-rc.d that forbids starting services; one that is
# already there is the machine's own and stays as it is.
# Usage: scripts/apt-install-quiet.sh package...
set -euo pipefail
[ $# -gt 0 ] || exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  # 101 = "action forbidden by policy": invoke-rc.d and deb-systemd-invoke skip the start.
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  own_policy=1
fi
remove_policy() {
  if [ "$own_policy" -eq 1 ]; then $SUDO rm -f "$policy"; fi
}
trap remove_policy EXIT

echo "Installing: $*"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "$@"
