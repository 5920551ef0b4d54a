#!/usr/bin/env bash
# setup.sh [--ros-distro humble|jazzy]
# Installs every Debian package that building, testing, the demo and the benchmarks need,
# and makes sure the ROS 2 release is there (the option, else ROS_DISTRO, else humble): an
# installed one (/opt/ros/<release>) is used as it is; otherwise the release's core and its
# Python side (rclpy, the ros2 CLI, launch, launch_testing, diagnostic_msgs) are built
# together once per machine from its source bundle into a prefix outside the checkout
# (/opt/ros2-<release>/<key>, see scripts/ros2_env.sh), which later runs reuse.
# Non-interactive and idempotent: what is present already is left alone.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/ros2_env.sh
source "$root/scripts/ros2_env.sh"
ros2_take_release "$@"
if [ ${#ros2_args[@]} -gt 0 ]; then
  sed -n '2s/^# /usage: /p' "${BASH_SOURCE[0]}" >&2
  exit 2
fi

packages=(
  build-essential cmake ninja-build pkg-config git ccache
  # configuration store
  mariadb-server mariadb-client libmariadb-dev
  libspdlog-dev libfmt-dev
  # SHA-256 of item values (OpenSSL libcrypto)
  libssl-dev
  # typed parameter values (YAML)
  libyaml-cpp-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev shellcheck
  # the fleet tools (fleet/): MariaDB's client library for Python, their tests and linter
  python3-mysqldb python3-pytest python3-flake8
  util-linux iproute2 procps psmisc socat openssl
  # fuzzing (scripts/fuzz.sh: libFuzzer with clang) and the snapshot parser's property tests
  clang-14 libclang-rt-14-dev python3-hypothesis
  # systemd-analyze, for the check of the service unit
  systemd
  # profiling the node before optimising it (perf record, strace -c; docs/benchmarks.md)
  linux-perf strace
)
# Building the release from source (see its bundle's README). Debian's own ament and
# rosidl packages are of another release and clash with it, so none of them is installed.
ros2_build_packages=(
  python3-catkin-pkg python3-empy python3-lark python3-yaml python3-setuptools
  cyclonedds-dev libyaml-dev libssl-dev
  colcon python3-colcon-core python3-colcon-cmake python3-colcon-ros python3-colcon-bash
  python3-colcon-library-path python3-colcon-pkg-config python3-colcon-recursive-crawl
  python3-colcon-parallel-executor python3-colcon-package-information
  python3-colcon-package-selection python3-colcon-metadata python3-colcon-output
  python3-colcon-defaults
  # the Python side: rclpy, the ros2 CLI, launch and launch_testing
  pybind11-dev python3-dev python3-numpy python3-osrf-pycommon
  python3-packaging python3-pytest python3-colcon-python-setup-py
  python3-colcon-test-result python3-argcomplete
)
case $ROS2_RELEASE in
  # Humble's ros2cli reads the network interfaces through netifaces.
  humble) ros2_build_packages+=(python3-netifaces) ;;
  # Jazzy's ros2cli uses psutil instead; class_loader (rclcpp_components) needs console_bridge.
  jazzy) ros2_build_packages+=(python3-psutil libconsole-bridge-dev) ;;
esac

if ! ros2_find; then
  ros2_missing_message
  exit 1
fi
if [ "$ROS2_ORIGIN" = bundle ]; then
  packages+=("${ros2_build_packages[@]}")
else
  packages+=(colcon python3-colcon-cmake python3-colcon-ros python3-colcon-bash
    python3-colcon-python-setup-py python3-pytest)
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
else
  export DEBIAN_FRONTEND=noninteractive
  # Keep the packaged MariaDB service from starting: tests run their own server.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod +x /usr/sbin/policy-rc.d
    trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  echo "setup: installing ${missing[*]}"
  # Another clone's setup may be installing too: wait for its lock rather than fail.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -q
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
fi

clashing=$(dpkg-query -W -f='${Status} ${Package}\n' 'ament-cmake*' 'librcutils*' \
  'librosidl*' 'python3-rosidl*' 'ros-*' 2>/dev/null | awk '/install ok installed/ {print $4}' || true)
if [ "$ROS2_ORIGIN" = bundle ] && [ -n "$clashing" ]; then
  echo "setup: warning: Debian's ROS packages are installed ($(echo "$clashing" | tr '\n' ' '));" \
    "they clash with $ROS2_RELEASE_NAME's libraries of the same name. The project's scripts" \
    "source its setup.bash first; remove them to be safe." >&2
fi

if [ "$ROS2_ORIGIN" = installed ]; then
  echo "setup: using the installed $ROS2_RELEASE_NAME ($ROS2_SETUP)"
  exit 0
fi

build_ros2() {
  local tar name expected actual
  for tar in "${ROS2_BUNDLE_TARS[@]}"; do
    name=$(basename "$tar")
    expected=$(awk -v n="$name" '$2 == n {print $1}' "$ROS2_BUNDLE_DIR/SHA256SUMS" 2>/dev/null || true)
    actual=$(sha256sum "$tar" | cut -d' ' -f1)
    if [ "$expected" != "$actual" ]; then
      echo "setup: $tar does not match its line in $ROS2_BUNDLE_DIR/SHA256SUMS" >&2
      return 1
    fi
  done
  local work
  work=$(mktemp -d "/var/tmp/ros2-$ROS2_RELEASE-build.XXXXXX")
  # shellcheck disable=SC2064
  trap "rm -rf '$work'" RETURN
  mkdir -p "$work/src"
  for tar in "${ROS2_BUNDLE_TARS[@]}"; do
    tar -xzf "$tar" -C "$work/src"
  done
  local total
  total=$(find "$work/src" -name package.xml -not -path '*/COLCON_IGNORE*' | wc -l)
  local log=$ROS2_PREFIX_BASE/build-$ROS2_BUNDLE_KEY.log
  local minutes=10
  [ "$ROS2_RELEASE" = jazzy ] && minutes=14
  echo "setup: building $ROS2_RELEASE_NAME, core and Python side ($total packages, about $minutes minutes on 2 cores)"
  echo "setup:   from ${ROS2_BUNDLE_TARS[*]}"
  echo "setup:   into $ROS2_PREFIX (log: $log)"
  $SUDO mkdir -p "$ROS2_PREFIX_BASE"
  $SUDO rm -rf "$ROS2_PREFIX"
  local start=$SECONDS status=0
  # A clean environment: Debian's python3 with its modules, no prefixes from elsewhere.
  (cd "$work" && env -i HOME="${HOME:-/root}" PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    MAKEFLAGS="-j$(nproc)" \
    colcon build --merge-install --base-paths src --install-base "$ROS2_PREFIX" \
    --build-base "$work/build" --parallel-workers "$(nproc)" \
    --event-handlers console_start_end+ summary+ \
    --cmake-args -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DPython3_EXECUTABLE=/usr/bin/python3 -DPYTHON_EXECUTABLE=/usr/bin/python3) \
    2>&1 | tee "$log" | awk -v total="$total" '
      /^Finished <<</ { done++; printf "setup:   [%d/%d] %s\n", done, total, $0; fflush(); next }
      /^Failed|^Aborted|^Summary|packages? (failed|aborted)/ { print "setup:   " $0; fflush() }' ||
    status=$?
  if [ "$status" -ne 0 ] || [ ! -f "$ROS2_SETUP" ]; then
    echo "setup: building $ROS2_RELEASE_NAME failed; the end of $log:" >&2
    tail -n 40 "$log" >&2
    return 1
  fi
  echo "$ROS2_BUNDLE_KEY" >"$ROS2_PREFIX/.complete"
  echo "setup: $ROS2_RELEASE_NAME built in $((SECONDS - start)) s"
}

if [ -f "$ROS2_PREFIX/.complete" ]; then
  echo "setup: $ROS2_RELEASE_NAME present ($ROS2_PREFIX)"
  exit 0
fi
# One build at a time, even when the test command and the demo start together.
$SUDO mkdir -p "$ROS2_PREFIX_BASE"
exec 9>"$ROS2_PREFIX_BASE/.build.lock"
flock 9
if [ -f "$ROS2_PREFIX/.complete" ]; then
  echo "setup: $ROS2_RELEASE_NAME present ($ROS2_PREFIX)"
  exit 0
fi
build_ros2
