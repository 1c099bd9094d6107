#!/usr/bin/env bash
# Installs the built Debian package on this machine for real, runs the installed Agent the way its
# systemd unit does (as korvane-pellix, the unit's environment, a private camera simulator), then
# upgrades, removes and purges it and checks that the machine is left as it was found. Needs root
# and a machine without the package or its account; it cleans up after a failure as well.
set -euo pipefail
build_dir=$(realpath "${1:-build}")
package=korvanepellixagent
account=korvane-pellix
home=/var/lib/korvane-pellix
data_dir=$home/.local/share/KORVANE/PellixAgent
unit_path=/lib/systemd/system/$package.service

fail() { echo "package test: FAILED: $*" >&2; exit 1; }
step() { echo "package test: $*"; }

[ "$(id -u)" -eq 0 ] || fail "needs root (it installs the package)"
deb=$(ls -t "$build_dir"/${package}_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no package in $build_dir; run make package"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed ||
  getent passwd "$account" >/dev/null || getent group "$account" >/dev/null || [ -e "$home" ]; then
  fail "the machine already holds $package, its account or $home; nothing was changed"
fi
systemd_state() {
  find /etc/systemd /var/lib/systemd -name "$package*" 2>/dev/null | sort || true
}
state_before=$(systemd_state)

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  dpkg --purge "$package" >/dev/null 2>&1 || true
  # A failed purge must not leave the account or its data behind either.
  if getent passwd "$account" >/dev/null; then userdel "$account" || true; fi
  if getent group "$account" >/dev/null; then groupdel "$account" || true; fi
  rm -rf "$home" "$work"
  # The lock file of a killed run belongs to the deleted account; anyone else's stays.
  find /tmp -maxdepth 1 -name korvane_pellix_agent.lock -nouser -delete 2>/dev/null || true
}
trap cleanup EXIT

# One HTTP exchange with the local API without needing curl on the machine.
api_get() {
  exec 3<>"/dev/tcp/127.0.0.1/5555" || return 1
  printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$1" >&3
  timeout 10 cat <&3
  exec 3<&-
}

wait_until_answers() {
  for _ in $(seq 1 150); do
    if api_get /api/agent/get_info 2>/dev/null | grep -q '"code":0'; then return 0; fi
    sleep 0.2
  done
  return 1
}

# Starts the installed binary as the unit does: the account, working directory /, and the
# environment systemd gives a User= service (HOME left out when $1 is "no-home").
agent_pid=
start_agent() {
  ! (exec 3<>/dev/tcp/127.0.0.1/5555) 2>/dev/null || fail "something else serves port 5555"
  local -a env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    "USER=$account" "LOGNAME=$account" SHELL=/usr/sbin/nologin)
  [ "${1:-}" = no-home ] || env+=("HOME=$home")
  setpriv --reuid="$account" --regid="$account" --init-groups --no-new-privs \
    env -i -C / "${env[@]}" /usr/bin/korvanepellixagent >"$work/agent.out" 2>&1 &
  agent_pid=$!
  pids+=("$agent_pid")
  wait_until_answers || fail "the installed Agent does not answer: $(cat "$work/agent.out")"
  # Its log folder tells the installed Agent from any other one on the port.
  api_get /api/agent/get_info | grep -q "\"log_directory\":\"$data_dir/logs\"" ||
    fail "the Agent on port 5555 does not use $data_dir: $(api_get /api/agent/get_info)"
}

stop_agent() {
  kill -TERM "$agent_pid"
  wait "$agent_pid" || fail "the Agent did not exit with status 0 on SIGTERM"
}

# Only this test needs lintian, so a build machine that never packages goes without it.
if ! dpkg-query -W -f='${Status}' lintian 2>/dev/null | grep -q "install ok installed"; then
  step "installing lintian"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends lintian; } >"$work/apt.log" 2>&1 ||
    fail "installing lintian: $(cat "$work/apt.log")"
fi
step "lintian $(basename "$deb")"
# --fail-on makes warnings count as well, and a lintian that breaks fails the test too.
lintian_out=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian:"$'\n'"$lintian_out"

step "contents of $(basename "$deb")"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/korvanepellixagent ./usr/bin/korvanepellixagent-autostart \
  ".$unit_path" ./usr/share/doc/$package/README.md ./usr/share/doc/$package/copyright \
  ./usr/share/doc/$package/changelog.gz ./usr/share/man/man8/korvanepellixagent.8.gz \
  ./usr/share/man/man8/korvanepellixagent-autostart.8.gz; do
  grep -qx -- "$path" <<<"$contents" || fail "$path missing from the package"
done
version=$(dpkg-deb -f "$deb" Version)
changelog_version=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/$package/changelog.gz |
  gzip -dc | sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$version" ] || fail "changelog ends at $changelog_version, package is $version"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libpoco libsystemd0 libsqlite3 libspdlog; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "maintainer script $script missing"
done
unit=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$unit_path")
for line in User=$account Type=notify Restart=on-failure WatchdogSec=30 NoNewPrivileges=yes \
  ProtectSystem=strict ReadWritePaths=$home PrivateTmp=yes ProtectHome=yes \
  CapabilityBoundingSet= LimitNOFILE=4096 ExecStart=/usr/bin/korvanepellixagent; do
  grep -qx -- "$line" <<<"$unit" || fail "unit lacks $line"
done

step "install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  fail "apt install failed: $(cat "$work/apt.log")"
[ "$(getent passwd "$account" | cut -d: -f6,7)" = "$home:/usr/sbin/nologin" ] ||
  fail "account: $(getent passwd "$account")"
[ "$(stat -c '%U:%G %a' "$home")" = "$account:$account 750" ] || fail "home: $(stat -c '%U:%G %a' "$home")"
[ -L /etc/systemd/system/multi-user.target.wants/$package.service ] || fail "unit not enabled"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit_path" || fail "systemd-analyze verify $unit_path"
fi

step "run as the unit would, against a private camera simulator"
"$build_dir/tools/camera-sim/camera-sim" --port 0 --state-dir "$work/camera" >"$work/camera.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do grep -q listening "$work/camera.out" && break; sleep 0.1; done
camera_port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/camera.out")
[ -n "$camera_port" ] || fail "camera simulator did not start: $(cat "$work/camera.out")"
install -d -o "$account" -g "$account" "$home/.local" "$home/.local/share" \
  "$home/.local/share/KORVANE" "$data_dir"
printf '{"device_ip":"127.0.0.1","device_port":"%s","monitoring_service_address":""}\n' \
  "$camera_port" >"$data_dir/config.json"
start_agent
answer=$(api_get /api/get_device_info)
grep -q '"code":0' <<<"$answer" || fail "camera command through the Agent: $answer"
answer=$(api_get /healthz)
grep -q '"database":"ok"' <<<"$answer" || fail "health check of the installed Agent: $answer"
promtool check rules "/usr/share/doc/$package/examples/pellix-alerts.yml" >"$work/promtool.log" 2>&1 ||
  fail "installed alert rules: $(cat "$work/promtool.log")"
[ "$(stat -c %U "$data_dir/service.db")" = "$account" ] || fail "database not owned by $account"
[ -d "$home/Documents/KORVANE/PellixAgent/images" ] || fail "images folder missing"
stop_agent
# Without HOME the account's home from the password database must still be used.
start_agent no-home
stop_agent

step "upgrade keeps the data"
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || fail "reinstall: $(cat "$work/dpkg.log")"
[ -f "$data_dir/service.db" ] || fail "upgrade lost the database"

step "remove keeps the data and the account"
dpkg --remove "$package" >"$work/dpkg.log" 2>&1 || fail "remove: $(cat "$work/dpkg.log")"
[ ! -e /usr/bin/korvanepellixagent ] || fail "binary left after remove"
[ -f "$data_dir/service.db" ] || fail "remove deleted the database"
getent passwd "$account" >/dev/null || fail "remove deleted the account"

step "purge leaves the machine as it was"
dpkg --purge "$package" >"$work/dpkg.log" 2>&1 || fail "purge: $(cat "$work/dpkg.log")"
! getent passwd "$account" >/dev/null || fail "account left after purge"
! getent group "$account" >/dev/null || fail "group left after purge"
[ ! -e "$home" ] || fail "$home left after purge"
while read -r path; do
  [ -d "${path#.}" ] || [ ! -e "${path#.}" ] || fail "${path#.} left after purge"
done <<<"$contents"
[ ! -e /usr/share/doc/$package ] || fail "/usr/share/doc/$package left after purge"
[ "$(systemd_state)" = "$state_before" ] || fail "systemd state left after purge: $(systemd_state)"
step "passed"
