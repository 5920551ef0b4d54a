# shellcheck shell=bash
# fleet_box.sh --view: the fleet view of one change, for the demo (scripts/demo.sh). The
# box's members in a small form: a fleet server and 3 robots, each with config_center and
# `velgar-fleet robot report`; robots 1 and 2 run the parameter node fleet_arm, robot 3 does
# not. One change of fleet_arm's speed on the fleet server is then applied on robots 1 and 2
# and held on robot 3, and `velgar-fleet server item speed` says so, with robot 3's reason.
# shellcheck disable=SC2154,SC2034 # fleet_box.sh's variables, and ones the other parts read

view_say() { printf '  %s\n' "$@"; }
view_states_are() { [ "$(states_of speed)" = "$1" ]; }

view_run() {
  robots=3
  view_say "A fleet in namespaces on this machine: a fleet server and robots 1-3, each with its" \
    "own MariaDB replicating the fleet server's global_config over TLS, config_center, and" \
    "velgar-fleet robot report sending the node's item states back (digests and reasons)." \
    "fleet_arm, the node that takes the parameter speed, runs on robots 1 and 2 only."
  make_tls
  start_member fleet
  local i
  for i in $(seq "$robots"); do start_member "robot$i"; done
  setup_fleet_server
  for i in $(seq "$robots"); do
    start_link "robot$i" fleet 3307
    join_robot "$i" || { echo "robot$i did not join:"; cat "$box/robot$i.join.out"; exit 1; }
  done
  start_target 1
  start_target 2
  for i in $(seq "$robots"); do start_node "$i"; done
  start_reporters
  wait_until 30 view_states_are "robot1=applied robot2=applied robot3=held" ||
    { echo "the robots did not report the first items"; exit 1; }

  view_say "" "On the fleet server, one change:" \
    "  sql> UPDATE global_config SET value = 's1' WHERE name = 'speed'"
  local t
  t=$EPOCHREALTIME
  sql fleet "UPDATE global_config SET value = 's1' WHERE name = 'speed'"
  # Applied on 1 and 2 with the new digest; robot 3 holds it.
  if ! wait_until 20 view_reported_new s1; then
    echo "the robots did not report the change"
    exit 1
  fi
  view_say "robots 1 and 2 had reported it applied $(millis "$t" "$EPOCHREALTIME") ms after the commit" "" \
    "\$ velgar-fleet server item speed      (on the fleet server)"
  fleet_server item speed | sed 's/^/      /'
  view_say "" "\$ velgar-fleet server robot robot3"
  fleet_server robot robot3 | sed 's/^/      /'
  view_say "" "(robot3 holds the change until fleet_arm runs there; its node retries with a" \
    "back-off and reports applied once it took it. --json gives the same for scripts.)"
}
# Robots 1 and 2 report speed applied with the digest of $1, and robot 3 holds it.
view_reported_new() {
  local digest
  digest=$(sql fleet "SELECT SHA2('$1', 256)")
  reported_applied_with 1 "$digest" && reported_applied_with 2 "$digest" &&
    [ "$(reported 3 speed | cut -d'|' -f1)" = held ]
}
reported_applied_with() { [ "$(reported "$1" speed)" = "applied||$2" ]; }
