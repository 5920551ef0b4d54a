#!/usr/bin/env bash
# Runs the parameter-call benchmark inside the isolated environment (loopback DDS, its own
# domain) and prints its table, then the node's end-to-end soak run. Build first
# (scripts/build.sh). Arguments go to the benchmark program, for example
# --round-trips 5000 --idle-seconds 20.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/ros2_env.sh
source "$root/scripts/ros2_env.sh"
ros2_source

bench=$root/install/lib/config_center_tools/bench_param_calls
if [ ! -x "$bench" ]; then
  echo "bench.sh: $bench is missing; run scripts/build.sh first" >&2
  exit 1
fi
"$root/scripts/isolated.sh" "$bench" "$@"

# The node itself: change-to-target latency over many changes, and its idle cost.
echo
echo "config_center end to end (ctest label soak):"
"$root/scripts/isolated.sh" ctest --test-dir "$root/build/config_center" -L soak -V |
  grep -E 'of one core|table change|tests passed|tests failed'
