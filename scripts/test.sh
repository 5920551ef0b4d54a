#!/usr/bin/env bash
# The whole check: installs what is missing, builds everything, and runs every package's
# test suite inside the isolated environment (private MariaDB, loopback DDS, fresh
# /opt/velgar). Slow soak runs and the fleet in a box are left out; pass -L soak or
# -L fleet to run only those.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
if [ $# -eq 0 ]; then
  set -- -LE 'soak|fleet'
fi
exec "$root/scripts/isolated.sh" "$root/scripts/run_ctest.sh" "$@"
