#!/usr/bin/env bash
# fuzz.sh [--runs N] [TARGET...]
# Builds the fuzz targets (config_center/test/fuzz/: libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, compiled by clang-14) into build-fuzz/, away from colcon's
# build/, and runs each for N inputs (default 1000000), one after the other on one core,
# from its seed corpus. Prints how many inputs each tried and how long it took; fails when a
# target finds a fault (the input is left in build-fuzz/corpus/, named crash-..., leak-...,
# oom-... or timeout-...). TARGETs (parameter_text, config_file_path, distribution_record,
# binlog_events, and option_file where the node reads its account from one) pick some; the
# default is all. Needs no database and no DDS.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=1000000
if [ "${1:-}" = "--runs" ]; then
  runs=$2
  shift 2
fi
# shellcheck source=scripts/ros2_env.sh
source "$root/scripts/ros2_env.sh"
ros2_source

build=$root/build-fuzz
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root/config_center/test/fuzz" -B "$build" "${generator[@]}" \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS="-O1" -DFUZZ_RUNS="$runs" >/dev/null
cmake --build "$build" -j "${BUILD_JOBS:-$(nproc)}"

selection=()
if [ $# -gt 0 ]; then
  selection=(-R "^fuzz_($(IFS='|'; echo "$*"))\$")
fi
log=$build/last-run.log
set +e
ctest --test-dir "$build" -L fuzz -V "${selection[@]}" >"$log" 2>&1
status=$?
set -e
grep -E 'inputs tried|found a fault' "$log" | sed -E 's/^[0-9]+: //'
grep -E 'tests passed' "$log"
[ "$status" -eq 0 ] || echo "fuzz: a target failed; its output: $log" >&2
exit "$status"
