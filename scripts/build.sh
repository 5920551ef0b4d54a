#!/usr/bin/env bash
# Builds every package in Release with -Wall -Wextra into build/<package> and installs into
# install/ (one merged prefix). Where ROS 2 is installed the ROS client library stand-in is
# skipped and the real rclcpp and rcl_interfaces are used.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

jobs=${BUILD_JOBS:-$(nproc)}
packages=(velgar_protocol config_center tools)
if [ -z "${ROS_DISTRO:-}" ]; then
  packages=(ros_compat/rcl_interfaces ros_compat/rclcpp "${packages[@]}")
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

mkdir -p build
for pkg in "${packages[@]}"; do
  [ -f "$pkg/CMakeLists.txt" ] || continue
  name=$(basename "$pkg")
  echo "=== build $name"
  cmake -S "$pkg" -B "build/$name" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra" \
    -DCMAKE_INSTALL_PREFIX="$root/install" \
    -DCMAKE_PREFIX_PATH="$root/install" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DPython3_EXECUTABLE=/usr/bin/python3 \
    -DBUILD_TESTING=ON >"build/.cmake_$name.log" 2>&1 ||
    { cat "build/.cmake_$name.log"; exit 1; }
  cmake --build "build/$name" -j "$jobs"
  cmake --install "build/$name" >/dev/null
done
echo "build: done (${packages[*]})"
