#!/usr/bin/env bash
# Installs every Debian package that building, testing, the demo and the benchmarks need.
# Non-interactive and idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  # ament and rosidl (C and C++ generators, introspection type support), colcon
  ament-cmake ament-cmake-googletest rosidl-core rosidl-generator-c-cpp
  librosidl-runtime-c-cpp-dev librosidl-typesupport-introspection-c-cpp-dev
  colcon python3-colcon-cmake python3-colcon-ros
  # transport of the ROS client library stand-in
  cyclonedds-dev cyclonedds-tools
  # configuration store
  mariadb-server mariadb-client libmariadb-dev
  libspdlog-dev libfmt-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  util-linux iproute2 procps psmisc socat openssl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# Keep the packaged MariaDB service from starting: tests run their own server.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
echo "setup: installing ${missing[*]}"
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
