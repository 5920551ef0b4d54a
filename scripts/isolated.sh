#!/usr/bin/env bash
# isolated.sh [--ros-distro humble|jazzy] CMD [ARGS...]
# Runs CMD in a private mount and network namespace: a fresh /opt/velgar (configs/, logs/)
# on disk, loopback only, a private MariaDB on 127.0.0.1:3306 with config_center/db/schema.sql loaded and
# a binary log (none with CONFIG_CENTER_BINLOG=off), the node's own account set up as on a
# robot ($CREDENTIALS_DIRECTORY), and Cyclone DDS on lo with unicast discovery. The node's
# paths and port are fixed, so this is how tests, the demo and the benchmarks avoid touching
# the host.
# ROS 2 is the release the option names (else ROS_DISTRO, else humble), with this checkout's
# install for it sourced on top.
# The server is stopped and its data removed when CMD ends; CMD's exit status is returned.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Only a leading option: the rest is CMD's.
case ${1:-} in
  --ros-distro) [ $# -ge 2 ] && export ROS_DISTRO=$2 && shift 2 ;;
  --ros-distro=*) export ROS_DISTRO=${1#--ros-distro=} && shift ;;
esac
if [ $# -eq 0 ]; then
  echo "usage: isolated.sh [--ros-distro humble|jazzy] CMD [ARGS...]" >&2
  exit 2
fi

if [ "${CONFIG_CENTER_ISOLATED:-}" != "inside" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "isolated.sh: needs root for unshare --mount --net" >&2
    exit 2
  fi
  export CONFIG_CENTER_ISOLATED=inside
  exec unshare --mount --net --propagation private -- "${BASH_SOURCE[0]}" "$@"
fi

state=$(mktemp -d /var/tmp/config_center_isolated.XXXXXX)

# shellcheck disable=SC2317  # runs from the traps below
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # A ros2 daemon started in here (by the first CLI call without --no-daemon) would outlive
  # the namespace. It listens on 11511 + the domain id, on this namespace's loopback only.
  if [ -n "${ROS_DOMAIN_ID:-}" ] && command -v ros2 >/dev/null &&
    ss -Hltn "sport = :$((11511 + ROS_DOMAIN_ID))" 2>/dev/null | grep -q .; then
    ros2 daemon stop >/dev/null 2>&1 || true
  fi
  [ -x "$state/db-stop" ] && "$state/db-stop"
  umount -l /opt/velgar /run/mysqld 2>/dev/null || true
  rm -rf "$state"
  exit "$status"
}
child=""
trap cleanup EXIT
trap '[ -n "$child" ] && kill -INT "$child" 2>/dev/null; exit 130' INT
trap '[ -n "$child" ] && kill -TERM "$child" 2>/dev/null; exit 143' TERM

ip link set lo up

# Fresh /opt/velgar on the disk filesystem (rename within one filesystem must work there).
mkdir -p "$state/velgar/configs" "$state/velgar/logs" /opt/velgar
mount --bind "$state/velgar" /opt/velgar

# The node's record of what it distributed (systemd's StateDirectory= on a robot).
export STATE_DIRECTORY="$state/config_center"

# Private server socket where the mariadb client looks by default, so `mariadb` with no
# arguments reaches this server as its administrator.
mkdir -p "$state/run" /run/mysqld
mount --bind "$state/run" /run/mysqld

# The server reads its options from my.cnf.d/ like a packaged server reads
# /etc/mysql/mariadb.conf.d/, so scripts that configure a robot's server can be tested on it.
# It holds a robot's binary log settings (config_center/db/robot-binlog.cnf) unless CONFIG_CENTER_BINLOG
# is "off": then the server runs without a binary log, as a robot without that file does.
mkdir -p "$state/my.cnf.d"
printf '!includedir %s\n' "$state/my.cnf.d" >"$state/my.cnf"
export ISOLATED_DB_CONF_DIR="$state/my.cnf.d"
case "${CONFIG_CENTER_BINLOG:-on}" in
  on) cp "$root/config_center/db/robot-binlog.cnf" "$state/my.cnf.d/55-velgar-robot-binlog.cnf" ;;
  off) ;;
  *) echo "isolated.sh: CONFIG_CENTER_BINLOG is on or off, not '$CONFIG_CENTER_BINLOG'" >&2; exit 2 ;;
esac

mariadb-install-db --user=root --datadir="$state/data" --auth-root-authentication-method=socket \
  --skip-test-db >"$state/install-db.log" 2>&1 || { cat "$state/install-db.log" >&2; exit 1; }

# db-start, db-stop and db-restart [SECONDS] control the private server; they are on PATH
# so that a test can take the database away while the node runs.
cat >"$state/db-start" <<SH
#!/usr/bin/env bash
set -u
# Already up: a second server would take over the pid file and strand the first.
mariadb-admin --socket=/run/mysqld/mysqld.sock ping >/dev/null 2>&1 && exit 0
setsid mariadbd --defaults-file="$state/my.cnf" --user=root --datadir="$state/data" \\
  --socket=/run/mysqld/mysqld.sock --bind-address=127.0.0.1 --port=3306 \\
  --pid-file="$state/run/mariadbd.pid" --log-error="$state/mariadbd.err" --skip-name-resolve \\
  --innodb-buffer-pool-size=64M --max-connections=200 >>"$state/mariadbd.out" 2>&1 </dev/null &
for _ in \$(seq 300); do
  mariadb-admin --socket=/run/mysqld/mysqld.sock ping >/dev/null 2>&1 && exit 0
  sleep 0.1
done
echo "db-start: MariaDB did not start" >&2
cat "$state/mariadbd.err" >&2
exit 1
SH
cat >"$state/db-stop" <<SH
#!/usr/bin/env bash
set -u
pid=\$(cat "$state/run/mariadbd.pid" 2>/dev/null) || exit 0
kill -TERM "\$pid" 2>/dev/null || exit 0
for _ in \$(seq 200); do kill -0 "\$pid" 2>/dev/null || exit 0; sleep 0.05; done
kill -KILL "\$pid" 2>/dev/null
exit 0
SH
cat >"$state/db-restart" <<SH
#!/usr/bin/env bash
set -eu
"$state/db-stop"
sleep "\${1:-0}"
exec "$state/db-start"
SH
chmod +x "$state/db-start" "$state/db-stop" "$state/db-restart"
"$state/db-start"
mariadb <"$root/config_center/db/schema.sql"

# The node's own account, as deploy/setup_robot.sh sets up a robot: a generated password in
# an option file, in a directory that $CREDENTIALS_DIRECTORY names as systemd's
# LoadCredential= does. The public account `robot` stays usable (the tests of a node not set
# up log in with it: `env -u CREDENTIALS_DIRECTORY config_center`).
mkdir -m 0700 "$state/credentials"
"$root/deploy/setup_robot.sh" --no-schema --keep-public-account --no-restart \
  --credentials "$state/credentials/db.cnf" >"$state/setup_robot.log" 2>&1 ||
  { cat "$state/setup_robot.log" >&2; exit 1; }
export CREDENTIALS_DIRECTORY="$state/credentials"

# Loopback-only DDS with unicast discovery (lo carries no multicast). Short heartbeat and
# NACK delays let a request that beat discovery by a hair be resent in a millisecond, not a
# hundred.
export CYCLONEDDS_URI="<CycloneDDS><Domain id=\"any\"><General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces><AllowMulticast>false</AllowMulticast></General><Internal><NackDelay>1ms</NackDelay><HeartbeatInterval min=\"1ms\" minsched=\"1ms\" max=\"5ms\">1ms</HeartbeatInterval></Internal><Discovery><ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>120</MaxAutoParticipantIndex><Peers><Peer address=\"127.0.0.1\"/></Peers></Discovery></Domain></CycloneDDS>"
export ROS_DOMAIN_ID=${ROS_DOMAIN_ID:-$((RANDOM % 200))}
# The URI above already names lo; ROS_LOCALHOST_ONLY on top makes node creation fail.
unset ROS_LOCALHOST_ONLY
# ROS's own logs stay with this run instead of the host's ~/.ros.
export ROS_LOG_DIR="$state/ros_log"
# shellcheck source=scripts/ros2_env.sh
source "$root/scripts/ros2_env.sh"
ros2_source
# INSTALL_BASE: the install folder of a variant build (scripts/sanitize.sh) instead of the
# release's own.
install_base=${INSTALL_BASE:-$ROS2_INSTALL_DIR}
if [ -f "$install_base/local_setup.bash" ]; then
  set +u
  # shellcheck disable=SC1091
  source "$install_base/local_setup.bash"
  set -u
fi
export PATH="$state:$install_base/lib/config_center:$install_base/lib/config_center_tools:$PATH"

# CMD runs as a child so that a signal to this script still reaches the clean-up.
set +e
"$@" &
child=$!
wait "$child"
status=$?
child=""
exit "$status"
