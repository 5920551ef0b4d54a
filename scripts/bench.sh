#!/usr/bin/env bash
# Runs the ROS client layer benchmark inside the isolated environment (loopback DDS, its own
# domain) and prints its table. Build first (scripts/build.sh). Arguments go to the program,
# for example --round-trips 5000 --idle-seconds 20.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench="$root/install/lib/config_center_tools/bench_ros_compat"
if [ ! -x "$bench" ]; then
  echo "bench.sh: $bench is missing; run scripts/build.sh first" >&2
  exit 1
fi
exec "$root/scripts/isolated.sh" "$bench" "$@"
