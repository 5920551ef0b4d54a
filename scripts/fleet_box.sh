#!/usr/bin/env bash
# fleet_box.sh [--robots N] [--rounds N] [--report FILE]
# fleet_box.sh --scale [--steps 5,20,50] [--report FILE]
# fleet_box.sh --view
# A fleet in a box, as a test: a fleet server, a relay and N robots (default 5), each in its
# own mount and network namespace made by isolated.sh (its own 127.0.0.1, MariaDB,
# /opt/velgar; a robot also runs config_center and a param_target node), linked only through
# socat between their loopbacks (scripts/fleet_box/members.sh). No traffic leaves them.
#
# The scenarios (scripts/fleet_box/scenarios_*.sh, in the order below) join every robot with
# TLS and server ids handed out by the fleet server, then check: fleet changes reach every
# robot (and how fast), each node woken through its robot's binary log (idle cost with the
# change feed and polling); overrides and the guard against local edits; a robot cut off, and one
# restarted, catch up in order; joins that cannot work (wrong password, CA, name, server id,
# purged position, a snapshot cut half-way) change nothing; two robots on one server id show
# in the fleet server's status; leave, and joins with --discard-local-global and --snapshot
# (only real differences reach the change log); a relay with robots behind it, restarted and
# cut off; TRUNCATE refused, clear-global, and a forced TRUNCATE that robots still converge
# from; an item for a node only some robots run; every robot's item states reported to the
# fleet server (held, refused, a robot cut off, a fleet server restart). Prints figures, the seconds each scenario
# took and one closing line; exits 0 only when every check passed. Needs root and a build.
#
# --scale measures the fleet server alone as database-only robots are added (no node, no
# target): CPU, threads, memory and bytes per change at each step (scripts/fleet_box/scale.sh).
# --view shows, for the demo, where one change stands on a fleet server and 3 robots (one of
# them without the change's node), from the robots' reports (scripts/fleet_box/view.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
self="$root/scripts/fleet_box.sh"

# A member of the box: holds its namespaces (made by isolated.sh) until the driver is done.
# The driver runs everything inside through nsenter, with the environment saved here.
if [ "${1:-}" = --member ]; then
  dir=$2 driver=$3
  export -p >"$dir/env.tmp"
  mv "$dir/env.tmp" "$dir/env"
  dirname "$(command -v db-start)" >"$dir/state"
  echo $$ >"$dir/pid"
  while [ ! -e "$dir/stop" ] && kill -0 "$driver" 2>/dev/null; do sleep 0.5; done
  exit 0
fi

robots=5 rounds=10 report="" scale=0 steps=5,20,50 view=0
while [ $# -gt 0 ]; do
  case $1 in
    --robots) robots=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --report) report=$2; shift 2 ;;
    --scale) scale=1; shift ;;
    --steps) steps=$2; shift 2 ;;
    --view) view=1; shift ;;
    *) sed -n '2,3s/^# /usage: /p' "$self" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "fleet_box.sh: needs root (namespaces)" >&2; exit 2; }
[ "$view" = 1 ] || [ "$robots" -ge 5 ] || { echo "fleet_box.sh: needs at least 5 robots" >&2; exit 2; }
# shellcheck source=scripts/ros2_env.sh
source "$root/scripts/ros2_env.sh"
[ -x "$ROS2_INSTALL_DIR/lib/config_center/config_center" ] ||
  { echo "fleet_box.sh: build first (scripts/build.sh --ros-distro $ROS2_RELEASE)" >&2; exit 2; }

box=$(mktemp -d /var/tmp/velgar_fleet_box.XXXXXX)
chmod 0711 "$box"
# shellcheck source=scripts/fleet_box/members.sh
. "$root/scripts/fleet_box/members.sh"
# shellcheck source=scripts/fleet_box/checks.sh
. "$root/scripts/fleet_box/checks.sh"
# shellcheck source=scripts/fleet_box/scenarios_join.sh
. "$root/scripts/fleet_box/scenarios_join.sh"
# shellcheck source=scripts/fleet_box/scenarios_changes.sh
. "$root/scripts/fleet_box/scenarios_changes.sh"
# shellcheck source=scripts/fleet_box/scenarios_failures.sh
. "$root/scripts/fleet_box/scenarios_failures.sh"
# shellcheck source=scripts/fleet_box/scenarios_snapshot.sh
. "$root/scripts/fleet_box/scenarios_snapshot.sh"
# shellcheck source=scripts/fleet_box/scenarios_relay.sh
. "$root/scripts/fleet_box/scenarios_relay.sh"
# shellcheck source=scripts/fleet_box/scenarios_operations.sh
. "$root/scripts/fleet_box/scenarios_operations.sh"
# shellcheck source=scripts/fleet_box/scenarios_reports.sh
. "$root/scripts/fleet_box/scenarios_reports.sh"
# shellcheck source=scripts/fleet_box/scale.sh
. "$root/scripts/fleet_box/scale.sh"
# shellcheck source=scripts/fleet_box/view.sh
. "$root/scripts/fleet_box/view.sh"

cleanup() {
  local status=$? p m
  trap - EXIT INT TERM
  stop_links
  for p in "${bg_pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${bg_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  for m in "${members[@]}"; do touch "$box/$m/stop"; done
  wait 2>/dev/null || true
  rm -rf "$box"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

final_checks() {
  section "the end"
  check "every robot's global_config ends as the fleet's" \
    all_robots db_value_is speed "$(sql fleet "SELECT value FROM global_config WHERE name = 'speed'")"
  check "  ... with replication running on every robot" all_robots io_up
  check "robot1's override of mode is still in effect" param_is 1 mode local
}

if [ "$scale" = 1 ]; then
  scale_run
elif [ "$view" = 1 ]; then
  view_run
  exit 0
else
  echo "fleet box: $robots robots in $box"
  section "the box starts"
  make_tls
  start_member fleet
  for i in $(seq "$robots"); do start_member "robot$i"; done
  # Not needed before the relay's scenario; it bootstraps while the robots join.
  launch_member relay
  scenario_join
  start_reporters
  scenario_local_rules
  scenario_delivery
  scenario_feed
  scenario_offline
  scenario_restart
  scenario_join_refusals
  scenario_server_id_clash
  scenario_leave_and_discard
  scenario_snapshot
  scenario_relay
  scenario_truncate
  scenario_absent_node
  scenario_reports
  final_checks
  section ""
  echo
  printf 'took %s\n' "${sections[@]}"
fi

if [ -n "$report" ]; then printf '%s\n' "${figures[@]}" >"$report"; fi
echo
if [ "$scale" = 1 ]; then
  echo "fleet box, scale: measured in $SECONDS s"
  exit 0
fi
echo "fleet box: $passed passed, $failed failed ($SECONDS s)"
[ "$failed" -eq 0 ]
