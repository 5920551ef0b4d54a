#!/usr/bin/env bash
# fleet_server.sh: replaced by `fleet/velgar-fleet server` (the fleet tools in Python); kept for one
# release, with the same verbs and options.
echo "fleet_server.sh: replaced by fleet/velgar-fleet server; running that" >&2
exec /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/../fleet/velgar-fleet" server "$@"
