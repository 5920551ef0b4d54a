# shellcheck shell=bash
# fleet_box.sh --view: the fleet view of one change, for the demo (scripts/demo.sh). The
# box's members in a small form: a fleet server and 3 robots, each with config_center and
# `velgar-fleet robot report`, and the parameter node fleet_arm; robots 1 and 2 also run
# fleet_gripper, robot 3 does not. One change on the fleet server, a parameter for
# fleet_gripper, is then applied on robots 1 and 2 and held on robot 3, and `velgar-fleet
# server item` says so, with robot 3's reason.
# shellcheck disable=SC2154,SC2034 # fleet_box.sh's variables, and ones the other parts read

view_say() {
  local line
  for line in "$@"; do if [ -n "$line" ]; then printf '  %s\n' "$line"; else echo; fi; done
}
view_states_are() { [ "$(states_of "$1")" = "$2" ]; }
view_gripper=(--name fleet_gripper --double grip=0.0)

view_run() {
  robots=3
  view_say "A fleet in namespaces on this machine: a fleet server and robots 1-3, each with its" \
    "own MariaDB replicating the fleet server's global_config over TLS, config_center, and" \
    "velgar-fleet robot report sending the node's item states back (digests and reasons)." \
    "Every robot runs the parameter node fleet_arm; robots 1 and 2 also run fleet_gripper."
  make_tls
  start_member fleet
  local i
  for i in $(seq "$robots"); do start_member "robot$i"; done
  setup_fleet_server
  for i in $(seq "$robots"); do
    start_link "robot$i" fleet 3307
    join_robot "$i" || { echo "robot$i did not join:"; cat "$box/robot$i.join.out"; exit 1; }
  done
  for i in $(seq "$robots"); do start_target "$i"; done
  start_target 1 "${view_gripper[@]}"
  start_target 2 "${view_gripper[@]}"
  for i in $(seq "$robots"); do start_node "$i"; done
  start_reporters
  wait_until 30 view_states_are speed "robot1=applied robot2=applied robot3=applied" ||
    { echo "the robots did not report the first items"; exit 1; }

  local change="INSERT INTO global_config (name, value, node_name, config_type)
    VALUES ('grip', '12.5', 'fleet_gripper', 1)"
  view_say "" "On the fleet server, one change:" "  sql> ${change//$'\n'    / }"
  local t
  t=$EPOCHREALTIME
  sql fleet "$change"
  # Applied on 1 and 2 with its digest; robot 3 holds it.
  if ! wait_until 20 view_reported_new 12.5; then
    echo "the robots did not report the change"
    exit 1
  fi
  view_say "every robot had reported it $(millis "$t" "$EPOCHREALTIME") ms after the commit" "" \
    "\$ velgar-fleet server item      (on the fleet server: where the last change stands)"
  fleet_server item | sed 's/^/    /'
  view_say "" "\$ velgar-fleet server robot robot3"
  fleet_server robot robot3 | sed 's/^/    /'
  view_say "" "(robot3's node waits up to 1 s for fleet_gripper's service before it calls the" \
    "change held, hence the time above; it retries with a back-off and reports applied once" \
    "fleet_gripper runs there and took it. --json gives the same answers for scripts.)"
}
# Robots 1 and 2 report grip applied with the digest of $1, and robot 3 holds it.
view_reported_new() {
  local digest
  digest=$(sql fleet "SELECT SHA2('$1', 256)")
  reported_applied_with 1 "$digest" && reported_applied_with 2 "$digest" &&
    [ "$(reported 3 grip | cut -d'|' -f1)" = held ]
}
reported_applied_with() { [ "$(reported "$1" grip)" = "applied||$2" ]; }
