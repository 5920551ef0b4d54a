# shellcheck shell=bash
# Fleet operations that bypass row events, and an item for a node that only some robots run
# (sourced by fleet_box.sh).
# shellcheck disable=SC2154 # box, robots and refusal are fleet_box.sh's

# The items are gone: the file removed, the parameters sent as not set (a node that declared
# them with a type refuses that, and keeps its value).
fleet_items_withdrawn() {
  no_file "$1" limits.yaml && param_withdrawn "$1" speed &&
    { [ "$1" -eq 1 ] || param_withdrawn "$1" mode; }
}
add_items() {
  sql fleet "INSERT INTO global_config (name, value, node_name, config_type) VALUES
    ('speed', '$1', 'fleet_arm', 1), ('mode', 'm-$1', 'fleet_arm', 1),
    ('limits.yaml', 'limit: $1', '', 2) $2"
}
change_log_went_back() { [ "$(max_change "$1")" -lt "${seen_before_truncate[$1]}" ]; }
converged_after_truncate() { has_param speed t2 "limit: t2" "$1" && no_file "$1" gone.yaml; }
has_gone_yaml() { file_is "$1" gone.yaml gone; }

scenario_truncate() {
  section "global_config emptied on the fleet server"
  check "TRUNCATE of global_config on the fleet server is refused" \
    refused sql fleet "TRUNCATE global_config"
  check "  ... naming the command to use instead" says "use_fleet_server_sh_clear_global"
  check "  ... and so is DROP TABLE" refused sql fleet "DROP TABLE global_config"
  check "velgar-fleet server clear-global empties it" quietly fleet_server clear-global
  check "  ... and every robot's node withdraws the fleet's items (robot1 keeps its override)" \
    wait_until 30 all_robots fleet_items_withdrawn
  add_items t1 ", ('gone.yaml', 'gone', '', 2)"
  check "items added again reach every robot" \
    wait_until 30 all_robots has_param speed t1 "limit: t1"
  check "  ... files included" wait_until 10 all_robots has_gone_yaml
  declare -gA seen_before_truncate=()
  local i
  for i in $(seq "$robots"); do seen_before_truncate[$i]=$(max_change "$i"); done
  # What an administrator can still force through: it reaches the robots as a statement.
  sql fleet "SET foreign_key_checks = 0; TRUNCATE global_config; SET foreign_key_checks = 1"
  add_items t2 ""
  check "a TRUNCATE forced through on the fleet server empties every robot's change log" \
    wait_until 15 all_robots change_log_went_back
  check "  ... and every node converges to the tables: new values set, gone.yaml removed" \
    wait_until 30 all_robots converged_after_truncate
  check "  ... robot1's override of mode still in effect" param_is 1 mode local
}

scenario_absent_node() {
  section "an item for a node that only robots 1 and 2 run"
  local gripper=(--name fleet_gripper --string grip=none) t
  start_target 1 "${gripper[@]}"
  start_target 2 "${gripper[@]}"
  t=$EPOCHREALTIME
  sql fleet "INSERT INTO global_config (name, value, node_name, config_type)
      VALUES ('grip', 'g1', 'fleet_gripper', 1);
    UPDATE global_config SET value = 'with gripper' WHERE name = 'speed';
    UPDATE global_config SET value = 'limit: gripper' WHERE name = 'limits.yaml'"
  check "robots 3-5, without that node, get the changes after it at once" \
    wait_until 5 robots_3_to_5_have "with gripper" "limit: gripper"
  figure "fleet commit until robots 3-5 had the changes after the gripper's item:" \
    "$(millis "$t" "$EPOCHREALTIME") ms"
  check "robots 1 and 2 get the gripper's item and the other changes" \
    wait_until 10 both_have_gripper_and_changes
  start_target 3 "${gripper[@]}"
  check "once robot3 starts the gripper's node, it gets its item" \
    wait_until 10 param_is 3 grip g1 fleet_gripper
}
robots_3_to_5_have() {
  has_param speed "$1" "$2" 3 && has_param speed "$1" "$2" 4 && has_param speed "$1" "$2" 5
}
both_have_gripper_and_changes() { gripper_and_changes 1 && gripper_and_changes 2; }
gripper_and_changes() {
  param_is "$1" grip g1 fleet_gripper && has_param speed "with gripper" "limit: gripper" "$1"
}
