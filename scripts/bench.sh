#!/usr/bin/env bash
# Runs the parameter-call benchmark inside the isolated environment (loopback DDS, its own
# domain) and prints its table, then the node measured from outside (bench_node: learning of
# changes from the binary log and, in the same run, polling; idle cost, also with targets
# held, change latency, start-up, memory, each beside its target and baselines), then the
# floor of following the binary log (bench_change_feed), resident memory with large file
# items (bench_memory), then drift set back and the idle cost of watching for it
# (bench_drift), start-up timed to the last item in effect beside its floor and peers
# (bench_startup: a robot, a robot of 100 nodes, and the curve up to 50,000 items; then the idle
# node with 5 target nodes against 100, in alternating rounds beside a bare node), the idle
# robot with `velgar-fleet robot report` beside the node alone (scripts/bench_report_idle.sh),
# then the node's end-to-end soak run.
# Build first (scripts/build.sh).
#   --ros-distro humble|jazzy  the ROS 2 release built for (else ROS_DISTRO, else humble)
#   --quick   small counts for both benchmarks and no soak run (CI runs this)
#   --fleet   only the fleet's scale run instead: the fleet server as database-only robots
#             are added (scripts/fleet_box.sh --scale; minutes, needs root); further
#             arguments go to it, for example --steps 5,20
#   --latency [--compare-with CHECKOUT]... [bench_node options]
#             only a change's latency with its floors, and one transaction to 100 nodes:
#             bench_param_calls and bench_change_feed (short idle windows) for the floors,
#             then bench_node --latency, alternating block by block with the node built in each
#             CHECKOUT (another worktree, built there with scripts/build.sh) when given
# Other arguments go to the parameter-call benchmark, for example
# --round-trips 5000 --idle-seconds 20.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/ros2_env.sh
source "$root/scripts/ros2_env.sh"
ros2_take_release "$@"
set -- "${ros2_args[@]}"
ros2_source

if [ "${1:-}" = "--fleet" ]; then
  shift
  exec "$root/scripts/fleet_box.sh" --scale "$@"
fi

quick=false
if [ "${1:-}" = "--quick" ]; then
  quick=true
  shift
fi

bench=$ROS2_INSTALL_DIR/lib/config_center/bench_param_calls
bench_node=$ROS2_INSTALL_DIR/lib/config_center/bench_node
bench_feed=$ROS2_INSTALL_DIR/lib/config_center/bench_change_feed
bench_memory=$ROS2_INSTALL_DIR/lib/config_center/bench_memory
bench_drift=$ROS2_INSTALL_DIR/lib/config_center/bench_drift
bench_startup=$ROS2_INSTALL_DIR/lib/config_center/bench_startup
for program in "$bench" "$bench_node" "$bench_feed" "$bench_memory" "$bench_drift" \
  "$bench_startup"; do
  if [ ! -x "$program" ]; then
    echo "bench.sh: $program is missing; run scripts/build.sh --ros-distro $ROS2_RELEASE first" >&2
    exit 1
  fi
done

if [ "${1:-}" = "--latency" ]; then
  shift
  latency_args=()
  while [ $# -gt 0 ]; do
    if [ "$1" = "--compare-with" ] && [ $# -ge 2 ]; then
      other=$(cd "$2" && pwd)/$(basename "$ROS2_INSTALL_DIR")/lib/config_center/config_center
      [ -x "$other" ] || { echo "bench.sh: $other is missing; build that checkout first" >&2; exit 1; }
      latency_args+=(--compare-with "$other")
      shift 2
    else
      latency_args+=("$1")
      shift
    fi
  done
  # The floors first, in the same run: a bare SetParameters round trip to a discovered
  # service, and the binary log's event reaching a reader after the commit.
  "$root/scripts/isolated.sh" "$bench" --round-trips 2000 --fresh 20 --idle-seconds 1
  echo
  "$root/scripts/isolated.sh" "$bench_feed" --idle-seconds 1 --commits 300
  echo
  exec "$root/scripts/isolated.sh" "$bench_node" --latency "${latency_args[@]}"
fi

if $quick; then
  "$root/scripts/isolated.sh" "$bench" --round-trips 200 --fresh 20 --idle-seconds 1 "$@"
  echo
  "$root/scripts/isolated.sh" "$bench_node" --quick
  echo
  # What --latency runs, in one small block (its floors are the two benchmarks beside it).
  "$root/scripts/isolated.sh" "$bench_node" --latency --rounds 20 --blocks 1
  echo
  "$root/scripts/isolated.sh" "$bench_feed" --quick
  echo
  "$root/scripts/isolated.sh" "$bench_memory" --quick
  echo
  "$root/scripts/isolated.sh" "$bench_drift" --quick
  echo
  "$root/scripts/isolated.sh" "$bench_startup" --quick
  echo
  "$root/scripts/isolated.sh" "$root/scripts/bench_report_idle.sh" --quick
  exit 0
fi

"$root/scripts/isolated.sh" "$bench" "$@"

echo
"$root/scripts/isolated.sh" "$bench_node"

# The floor with the binary log: idle node and server with the change feed beside a bare
# node, the server alone and the 1 ms poll; commit-to-wake latency.
echo
"$root/scripts/isolated.sh" "$bench_feed"

# Resident memory with 10, 100 and 500 MiB of file items, and in a burst of large changes.
echo
"$root/scripts/isolated.sh" "$bench_memory"

# A hand change to a managed parameter and to a managed file until the database's value is
# back; the idle node watching for drift beside the same node with drift_policy ignore.
echo
"$root/scripts/isolated.sh" "$bench_drift"

# Start-up to the last item in effect, beside its floor and what a team would run without
# the node.
echo
"$root/scripts/isolated.sh" "$bench_startup"

# What reporting to a fleet adds to an idle robot: the node and its reporter, against the
# node alone.
echo
"$root/scripts/isolated.sh" "$root/scripts/bench_report_idle.sh"

# The node itself: change-to-target latency over many changes, and its idle cost.
echo
echo "config_center end to end (ctest label soak):"
"$root/scripts/isolated.sh" ctest --test-dir "$ROS2_BUILD_DIR/config_center" -L soak -V |
  grep -E 'of one core|table change|tests passed|tests failed'
