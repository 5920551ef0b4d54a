#!/usr/bin/env bash
# The whole check: installs what is missing, builds everything, and runs every package's
# test suite inside the isolated environment (private MariaDB, loopback DDS, fresh
# /opt/velgar). Slow soak runs and the fleet in a box are left out; pass -L soak or
# -L fleet to run only those.
#   --without-binlog  the private MariaDB runs without a binary log (as a robot without
#                     config_center/db/robot-binlog.cnf), so the node has no change feed and polls
# Other arguments go to ctest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${1:-}" = "--without-binlog" ]; then
  export CONFIG_CENTER_BINLOG=off
  shift
fi
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
if [ $# -eq 0 ]; then
  set -- -LE '^(soak|fleet)$'
fi
exec "$root/scripts/isolated.sh" "$root/scripts/run_ctest.sh" "$@"
