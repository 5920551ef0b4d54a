#!/usr/bin/env bash
# Sourced, not run: finds ROS 2 Humble and names where it is.
#   ros2_find     sets ROS2_SETUP (the setup.bash to source) and ROS2_ORIGIN
#                 ("installed" or "bundle"); with the bundles also ROS2_BUNDLE_DIR,
#                 ROS2_BUNDLE_TARS (core, then the Python side), ROS2_BUNDLE_KEY and
#                 ROS2_PREFIX (where setup.sh builds them). Returns 1 when neither an
#                 installed Humble nor both bundles are there.
#   ros2_source   sources ROS2_SETUP for this shell (and its children), picks the
#                 Cyclone DDS RMW, and fails with a message when ROS 2 is not built yet.
# An installed Humble (/opt/ros/humble, as on a robot) wins over the source bundles; they
# default to ../shared/ros2-humble next to the checkout (ROS2_HUMBLE_BUNDLE). The core and
# the Python side (rclpy, the ros2 CLI, launch) are built together into one prefix.

ros2_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ROS2_INSTALLED_SETUP=${ROS2_INSTALLED_SETUP:-/opt/ros/humble/setup.bash}
# Outside the checkout, so every clone on the machine (CI's included) reuses one build.
ROS2_PREFIX_BASE=${ROS2_PREFIX_BASE:-/opt/ros2-humble}

ros2_find() {
  if [ -f "$ROS2_INSTALLED_SETUP" ]; then
    ROS2_ORIGIN=installed
    ROS2_SETUP=$ROS2_INSTALLED_SETUP
    return 0
  fi
  ROS2_BUNDLE_DIR=${ROS2_HUMBLE_BUNDLE:-$ros2_root/../shared/ros2-humble}
  ROS2_BUNDLE_TARS=("$ROS2_BUNDLE_DIR/ros2-humble-core-src.tar.gz"
    "$ROS2_BUNDLE_DIR/ros2-humble-python-src.tar.gz")
  local tar
  for tar in "${ROS2_BUNDLE_TARS[@]}"; do
    [ -f "$tar" ] || return 1
  done
  ROS2_ORIGIN=bundle
  # One prefix per pair of archives: a new version of either builds afresh.
  local sums
  sums=$(sha256sum "${ROS2_BUNDLE_TARS[@]}" | cut -d' ' -f1 | tr -d '\n')
  ROS2_BUNDLE_KEY=$(printf '%s' "$sums" | sha256sum | cut -c1-16)
  ROS2_PREFIX=$ROS2_PREFIX_BASE/$ROS2_BUNDLE_KEY
  ROS2_SETUP=$ROS2_PREFIX/setup.bash
}

ros2_missing_message() {
  cat >&2 <<EOF
No ROS 2 Humble found.
  - On Ubuntu 22.04 install it from the ROS 2 packages (ros-humble-ros-base), which puts
    it at $ROS2_INSTALLED_SETUP; or
  - put the Humble source bundles (ros2-humble-core-src.tar.gz and
    ros2-humble-python-src.tar.gz, each with its REPOS list of repositories and commits,
    and their SHA256SUMS) into ${ROS2_HUMBLE_BUNDLE:-$ros2_root/../shared/ros2-humble}
    (or point ROS2_HUMBLE_BUNDLE at their folder) and run scripts/setup.sh, which builds
    them together once into $ROS2_PREFIX_BASE.
EOF
}

ros2_source() {
  if ! ros2_find; then
    ros2_missing_message
    return 1
  fi
  if [ ! -f "$ROS2_SETUP" ] || { [ "$ROS2_ORIGIN" = bundle ] && [ ! -f "$ROS2_PREFIX/.complete" ]; }; then
    echo "ROS 2 Humble is not built yet ($ROS2_SETUP); run scripts/setup.sh" >&2
    return 1
  fi
  # setup.bash reads unset variables; it is not ours to make strict.
  local had_u=0
  case $- in *u*) had_u=1 ;; esac
  set +u
  # shellcheck disable=SC1090
  source "$ROS2_SETUP"
  [ "$had_u" -eq 1 ] && set -u
  export RMW_IMPLEMENTATION=${RMW_IMPLEMENTATION:-rmw_cyclonedds_cpp}
  return 0
}
