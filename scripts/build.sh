#!/usr/bin/env bash
# build.sh [--ros-distro humble|jazzy] [COLCON ARGS...]
# Builds the workspace's packages with colcon against the ROS 2 release (the option, else
# ROS_DISTRO, else humble; installed, or the one scripts/setup.sh built): Release, -Wall
# -Wextra, tests on, into the release's own folders: build/<package> and one merged install/
# for Humble, build-jazzy/ and install-jazzy/ for Jazzy. Other arguments go to colcon (for
# example --packages-select config_center).
# A variant build (scripts/sanitize.sh) names its own folders and flags in the environment:
#   BUILD_BASE, INSTALL_BASE   instead of the release's build and install folders
#   SANITIZE_FLAGS             added to the compiler and linker flags (-fsanitize=...)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=scripts/ros2_env.sh
source "$root/scripts/ros2_env.sh"
ros2_take_release "$@"
set -- "${ros2_args[@]}"
ros2_source

jobs=${BUILD_JOBS:-$(nproc)}
build_base=${BUILD_BASE:-$ROS2_BUILD_DIR}
install_base=${INSTALL_BASE:-$ROS2_INSTALL_DIR}
sanitize=${SANITIZE_FLAGS:-}
linker_flags=()
if [ -n "$sanitize" ]; then
  linker_flags=(-DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DCMAKE_SHARED_LINKER_FLAGS="$sanitize"
    -DCMAKE_MODULE_LINKER_FLAGS="$sanitize")
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# ccache, where installed, keeps rebuilds short; paths relative to the checkout let several
# clones on one machine (CI's among them) share its cache.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$root
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

MAKEFLAGS="-j$jobs" colcon --log-base "$ROS2_LOG_DIR" build \
  --base-paths velgar_protocol config_center_interfaces parameter_text stop_signals config_center \
  tools \
  --build-base "$build_base" --install-base "$install_base" --merge-install \
  --parallel-workers "$jobs" --event-handlers console_start_end+ \
  "$@" \
  --cmake-args "${generator[@]}" "${launcher[@]}" "${linker_flags[@]}" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra${sanitize:+ $sanitize}" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DPython3_EXECUTABLE=/usr/bin/python3 -DPYTHON_EXECUTABLE=/usr/bin/python3 \
  -DBUILD_TESTING=ON
# The repository's own checks (tests/): a plain CTest project beside the packages' suites
# (not in a variant build: they build no code).
if [ -z "$sanitize" ]; then
  cmake -S "$root/tests" -B "$build_base/repository" >/dev/null
fi
echo "build: done into ${install_base#"$root"/} ($ROS2_ORIGIN $ROS2_RELEASE_NAME: $ROS2_SETUP)"
