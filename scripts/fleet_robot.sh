#!/usr/bin/env bash
# fleet_robot.sh: replaced by `fleet/velgar-fleet robot` (the fleet tools in Python); kept for one
# release, with the same verbs and options.
echo "fleet_robot.sh: replaced by fleet/velgar-fleet robot; running that" >&2
exec /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/../fleet/velgar-fleet" robot "$@"
