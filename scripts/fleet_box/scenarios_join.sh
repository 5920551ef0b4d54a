# shellcheck shell=bash
# The fleet comes up, and a robot's own edits (sourced by fleet_box.sh).
# shellcheck disable=SC2154,SC2034 # fleet_box.sh's variables, and ones the other parts read

# The fleet server, with the first items, an account and a server id for every robot.
setup_fleet_server() {
  fleet_server setup --cert "$tls/fleet.pem" \
    --key "$tls/fleet.key" --cnf "$(conf_of fleet)" --restart-cmd db-restart >/dev/null
  threads_before=$(threads_of fleet)
  local i
  for i in $(seq "$robots"); do
    new_password "$tls/robot$i.password"
    fleet_server add-robot "robot$i" --from 127.0.0.1 --password-file "$tls/robot$i.password" \
      >/dev/null
  done
  serve_socket fleet
  sql fleet "INSERT INTO global_config (name, value, node_name, config_type) VALUES
    ('speed', 's0', 'fleet_arm', 1), ('mode', 'm0', 'fleet_arm', 1),
    ('limits.yaml', 'limit: 0', '', 2)"
}

scenario_join() {
  section "every robot joins"
  setup_fleet_server
  local i t first joins=()
  start_link robot1 fleet 3307
  t=$EPOCHREALTIME
  join_robot 1
  first=$(millis "$t" "$EPOCHREALTIME")
  # The others side by side: each first join restarts that robot's server once.
  for i in $(seq 2 "$robots"); do
    start_link "robot$i" fleet 3307
    join_robot "$i" &
    joins+=("$!")
  done
  wait "${joins[@]}" || true
  for i in $(seq 2 "$robots"); do
    [ -e "$box/robot$i.joined" ] || { echo "robot$i did not join:"; cat "$box/robot$i.join.out"; exit 1; }
  done
  figure "join, first time (restarts the robot's server once, for log_slave_updates): $first ms"
  for i in $(seq "$robots"); do
    start_target "$i"
    start_node "$i"
  done
  check "every robot's node received the fleet's items at start-up" \
    wait_until 30 all_robots has_param speed s0 "limit: 0"
  check "the fleet server has one replication thread per robot" dump_threads_are "$robots" fleet
  check "every link is TLS with the fleet server's certificate checked" \
    test "$(for i in $(seq "$robots"); do slave_field "robot$i" 'Master_SSL_(Allowed|Verify_Server_Cert)'; done |
      grep -c Yes)" -eq $((2 * robots))
  check "  ... and the fleet server accepted that many TLS sessions" \
    test "$(status_value fleet Ssl_accepts)" -ge "$robots"
  check "every robot follows with the server id the fleet server handed out to it" \
    all_robots has_its_server_id fleet
  check "  ... and no two robots share one" \
    test "$(sql fleet "SELECT COUNT(DISTINCT server_id) FROM velgar_fleet.robots")" -eq "$robots"
  check "the fleet's changes reach each robot's own binary log (log_slave_updates)" \
    all_robots binlog_has_fleet_position
  figure "fleet server threads: $threads_before with no robot, $(threads_of fleet) with $robots" \
    "($(dump_threads fleet) binlog dump threads)"
}
join_robot() { join "$1" >"$box/robot$1.join.out" 2>&1 && touch "$box/robot$1.joined"; }
has_its_server_id() {
  [ "$(sql "robot$2" "SELECT @@server_id")" = \
    "$(sql "$1" "SELECT server_id FROM velgar_fleet.robots WHERE name = 'robot$2'")" ]
}
binlog_has_fleet_position() {
  local fleet_pos
  fleet_pos=$(sql fleet "SELECT @@gtid_binlog_pos")
  [[ ",$(sql "robot$1" "SELECT @@gtid_binlog_state")," == *",$fleet_pos,"* ]]
}

scenario_local_rules() {
  section "a robot's own edits"
  # robot1 overrides mode locally; every later fleet change of mode must leave it alone.
  sql robot1 "INSERT INTO custom_config (name, value, node_name, config_type)
    VALUES ('mode', 'local', 'fleet_arm', 1)"
  check "robot1's local override takes effect" wait_until 10 param_is 1 mode local
  override_line=$(wc -l <"$box/robot1.params")
  check "robot2 refuses a local edit of global_config" \
    refused sql robot2 "UPDATE global_config SET value = 'local' WHERE name = 'speed'"
  check "  ... saying where to change it" says "comes from the fleet"
  check "  ... and leaves global_config as the fleet wrote it" db_value_is speed s0 2
  check "robot2 still takes local edits of custom_config" \
    sql robot2 "INSERT INTO custom_config (name, value, node_name, config_type)
      VALUES ('robot2_only.yaml', 'local', '', 2)"
  check "  ... and its node writes them" wait_until 10 file_is 2 robot2_only.yaml local
}
