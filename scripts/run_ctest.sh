#!/usr/bin/env bash
# Runs the ctest suite of every package built for the ROS 2 release (ROS_DISTRO or
# --ros-distro, as scripts/build.sh; inside isolated.sh) and prints one summary line over all
# of them. Extra arguments go to every ctest call (for example -L soak).
# BUILD_BASE: the build folder of a variant build (scripts/sanitize.sh) instead of the
# release's own.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/ros2_env.sh
source "$root/scripts/ros2_env.sh" || exit 2
ros2_take_release "$@" || exit 2
set -- "${ros2_args[@]}"
passed=0
failed=0
for dir in "${BUILD_BASE:-$ROS2_BUILD_DIR}"/*/; do
  [ -f "$dir/CTestTestfile.cmake" ] || continue
  # Interface packages have no tests of their own.
  ctest --test-dir "$dir" -N "$@" 2>/dev/null | grep -q 'Total Tests: 0' && continue
  echo "=== ctest $(basename "$dir")"
  out=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure --no-tests=ignore "$@" 2>&1 | tee "$out"
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$out" | tail -n 1)
  rm -f "$out"
  [ -n "$line" ] || continue
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done
echo
echo "all ($ROS2_RELEASE_NAME): $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
