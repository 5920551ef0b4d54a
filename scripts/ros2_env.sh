#!/usr/bin/env bash
# Sourced, not run: picks the ROS 2 release (Humble or Jazzy), finds it and names where it
# and this checkout's build for it are.
#   ros2_take_release  "$@": takes --ros-distro NAME (or --ros-distro=NAME) out of the
#                 arguments, exports ROS_DISTRO, and leaves the other arguments in the array
#                 ros2_args. Without the option ROS_DISTRO from the environment holds (an
#                 installed ROS 2's setup.bash sets it); without either, humble.
#   ros2_find     sets ROS2_SETUP (the setup.bash to source) and ROS2_ORIGIN
#                 ("installed" or "bundle"); with the bundles also ROS2_BUNDLE_DIR,
#                 ROS2_BUNDLE_TARS, ROS2_BUNDLE_KEY and ROS2_PREFIX (where setup.sh builds
#                 them). Returns 1 when neither an installed release nor its bundles are there.
#   ros2_source   sources ROS2_SETUP for this shell (and its children), picks the
#                 Cyclone DDS RMW, and fails with a message when ROS 2 is not built yet.
# After sourcing: ROS2_RELEASE (humble or jazzy), ROS2_RELEASE_NAME ("ROS 2 Humble"), and the
# checkout's folders for that release, ROS2_BUILD_DIR, ROS2_INSTALL_DIR, ROS2_LOG_DIR: build/,
# install/, log/ for Humble, build-jazzy/, install-jazzy/, log-jazzy/ for Jazzy, so that both
# builds sit in one checkout.
# An installed release (/opt/ros/<release>, as on a robot) wins over the source bundles; they
# default to ../shared/ros2-<release> next to the checkout (ROS2_HUMBLE_BUNDLE,
# ROS2_JAZZY_BUNDLE). A bundle is built once per machine into /opt/ros2-<release>/<key>.

ros2_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

ros2_take_release() {
  ros2_args=()
  while [ $# -gt 0 ]; do
    case $1 in
      --ros-distro)
        [ $# -ge 2 ] || { echo "--ros-distro needs a release: humble or jazzy" >&2; return 2; }
        ROS_DISTRO=$2
        shift 2
        ;;
      --ros-distro=*) ROS_DISTRO=${1#--ros-distro=}; shift ;;
      *) ros2_args+=("$1"); shift ;;
    esac
  done
  ros2_release_settings
}

# Names everything that depends on the release; called on sourcing and again by
# ros2_take_release. The folders are for the scripts that source this file.
# shellcheck disable=SC2034
ros2_release_settings() {
  ROS2_RELEASE=${ROS_DISTRO:-humble}
  case $ROS2_RELEASE in
    humble)
      ROS2_RELEASE_NAME="ROS 2 Humble"
      ROS2_RELEASE_OS="Ubuntu 22.04"
      ROS2_BUNDLE_DIR=${ROS2_HUMBLE_BUNDLE:-$ros2_root/../shared/ros2-humble}
      ROS2_BUNDLE_TARS=("$ROS2_BUNDLE_DIR/ros2-humble-core-src.tar.gz"
        "$ROS2_BUNDLE_DIR/ros2-humble-python-src.tar.gz")
      ROS2_BUILD_DIR=$ros2_root/build
      ROS2_INSTALL_DIR=$ros2_root/install
      ROS2_LOG_DIR=$ros2_root/log
      ;;
    jazzy)
      ROS2_RELEASE_NAME="ROS 2 Jazzy"
      ROS2_RELEASE_OS="Ubuntu 24.04"
      ROS2_BUNDLE_DIR=${ROS2_JAZZY_BUNDLE:-$ros2_root/../shared/ros2-jazzy}
      ROS2_BUNDLE_TARS=("$ROS2_BUNDLE_DIR/ros2-jazzy-src.tar.gz")
      ROS2_BUILD_DIR=$ros2_root/build-jazzy
      ROS2_INSTALL_DIR=$ros2_root/install-jazzy
      ROS2_LOG_DIR=$ros2_root/log-jazzy
      ;;
    *)
      echo "ROS 2 release '$ROS2_RELEASE' is not supported here: humble or jazzy" >&2
      return 2
      ;;
  esac
  export ROS_DISTRO=$ROS2_RELEASE
  ROS2_INSTALLED_SETUP=${ROS2_INSTALLED_SETUP_OVERRIDE:-/opt/ros/$ROS2_RELEASE/setup.bash}
  # Outside the checkout, so every clone on the machine (CI's included) reuses one build.
  ROS2_PREFIX_BASE=${ROS2_PREFIX_BASE_OVERRIDE:-/opt/ros2-$ROS2_RELEASE}
  return 0
}

# ROS2_INSTALLED_SETUP and ROS2_PREFIX_BASE set by the caller point every release elsewhere
# (an installed ROS 2 in another place, another build prefix).
ROS2_INSTALLED_SETUP_OVERRIDE=${ROS2_INSTALLED_SETUP_OVERRIDE:-${ROS2_INSTALLED_SETUP:-}}
ROS2_PREFIX_BASE_OVERRIDE=${ROS2_PREFIX_BASE_OVERRIDE:-${ROS2_PREFIX_BASE:-}}
export ROS2_INSTALLED_SETUP_OVERRIDE ROS2_PREFIX_BASE_OVERRIDE
ros2_release_settings || return 2

ros2_find() {
  if [ -f "$ROS2_INSTALLED_SETUP" ]; then
    ROS2_ORIGIN=installed
    ROS2_SETUP=$ROS2_INSTALLED_SETUP
    return 0
  fi
  local tar
  for tar in "${ROS2_BUNDLE_TARS[@]}"; do
    [ -f "$tar" ] || return 1
  done
  ROS2_ORIGIN=bundle
  # One prefix per set of archives: a new version of any builds afresh.
  local sums
  sums=$(sha256sum "${ROS2_BUNDLE_TARS[@]}" | cut -d' ' -f1 | tr -d '\n')
  ROS2_BUNDLE_KEY=$(printf '%s' "$sums" | sha256sum | cut -c1-16)
  ROS2_PREFIX=$ROS2_PREFIX_BASE/$ROS2_BUNDLE_KEY
  ROS2_SETUP=$ROS2_PREFIX/setup.bash
}

ros2_missing_message() {
  local names
  names=$(for tar in "${ROS2_BUNDLE_TARS[@]}"; do basename "$tar"; done | tr '\n' ' ')
  cat >&2 <<EOF
No $ROS2_RELEASE_NAME found.
  - On $ROS2_RELEASE_OS install it from the ROS 2 packages (ros-$ROS2_RELEASE-ros-base),
    which puts it at $ROS2_INSTALLED_SETUP; or
  - put the $ROS2_RELEASE_NAME source bundle (${names% }, with its REPOS list of
    repositories and commits, and SHA256SUMS) into $ROS2_BUNDLE_DIR
    (or point ROS2_${ROS2_RELEASE^^}_BUNDLE at its folder) and run
    scripts/setup.sh --ros-distro $ROS2_RELEASE, which builds it once into $ROS2_PREFIX_BASE.
EOF
}

ros2_source() {
  if ! ros2_find; then
    ros2_missing_message
    return 1
  fi
  if [ ! -f "$ROS2_SETUP" ] || { [ "$ROS2_ORIGIN" = bundle ] && [ ! -f "$ROS2_PREFIX/.complete" ]; }; then
    echo "$ROS2_RELEASE_NAME is not built yet ($ROS2_SETUP); run scripts/setup.sh --ros-distro $ROS2_RELEASE" >&2
    return 1
  fi
  # setup.bash reads unset variables; it is not ours to make strict.
  local had_u=0
  case $- in *u*) had_u=1 ;; esac
  set +u
  # shellcheck disable=SC1090
  source "$ROS2_SETUP"
  [ "$had_u" -eq 1 ] && set -u
  # An installed release's setup.bash sets ROS_DISTRO itself; a bundle's does not.
  export ROS_DISTRO=$ROS2_RELEASE
  export RMW_IMPLEMENTATION=${RMW_IMPLEMENTATION:-rmw_cyclonedds_cpp}
  return 0
}
