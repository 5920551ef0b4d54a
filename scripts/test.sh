#!/usr/bin/env bash
# The whole check: installs what is missing, builds everything, and runs every package's
# test suite inside the isolated environment (private MariaDB, loopback DDS, fresh
# /opt/velgar). Slow soak runs, the robot of 100 nodes and the fleet in a box are left out;
# pass -L soak, -L large or -L fleet to run only those.
#   --ros-distro humble|jazzy  the ROS 2 release to build and test with (else ROS_DISTRO,
#                     else humble); each has its own build and install folders
#   --without-binlog  the private MariaDB runs without a binary log (as a robot without
#                     config_center/db/robot-binlog.cnf), so the node has no change feed and polls
# Other arguments go to ctest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/ros2_env.sh
source "$root/scripts/ros2_env.sh"
ros2_take_release "$@"
set -- "${ros2_args[@]}"
if [ "${1:-}" = "--without-binlog" ]; then
  export CONFIG_CENTER_BINLOG=off
  shift
fi
# ROS_DISTRO, exported by ros2_take_release, carries the release to each step.
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
if [ $# -eq 0 ]; then
  set -- -LE '^(soak|large|fleet)$'
fi
exec "$root/scripts/isolated.sh" "$root/scripts/run_ctest.sh" "$@"
