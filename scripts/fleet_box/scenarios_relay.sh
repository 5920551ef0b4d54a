# shellcheck shell=bash
# A relay between the fleet server and two robots (sourced by fleet_box.sh).
# shellcheck disable=SC2154 # root, box, robots and tls are fleet_box.sh's

relay() { velgar_fleet relay relay "$@"; }
behind_relay() { following "robot$1" 3308; }
set_speed_values() {
  local c
  for c in $(seq "$2"); do
    sql fleet "UPDATE global_config SET value = '$1$c' WHERE name = 'speed'"
  done
}
# Who member $1 sends its binary log to, but $2 (when a robot moves away, the connection it
# left ends only when the server next writes to it).
dump_users() {
  sql "$1" "SELECT GROUP_CONCAT(DISTINCT user ORDER BY user SEPARATOR ' ')
    FROM information_schema.processlist WHERE command LIKE 'Binlog Dump%'
      AND NOT FIND_IN_SET(user, '${2:-}')"
}
has_relay_ids() { has_its_server_id relay 4 && has_its_server_id relay 5; }
direct_robots_have() { param_is 1 speed "$1" && param_is 2 speed "$1" && param_is 3 speed "$1"; }
# Robot $3's change log holds $1 1..$2 in order, once each, and its node got them in order.
got_in_order() { [ "$(values_logged "$3" "$1[0-9]+")" = "$(sequence "$1" "$2")" ] &&
  forward_to_last "$1" "$2" "$(values_received "$3" "$1[0-9]+")"; }

scenario_relay() {
  section "a relay between the fleet server and robots 4 and 5"
  local i
  wait_member relay
  new_password "$tls/relay.password"
  fleet_server add-robot relay --from 127.0.0.1 --password-file "$tls/relay.password" >/dev/null
  start_link relay fleet 3307
  # The fleet server purged its old logs: the relay starts from a snapshot too.
  check "a relay is set up from a snapshot, following the fleet server" quietly relay setup \
    --cert "$tls/relay.pem" --key "$tls/relay.key" --host 127.0.0.1 --port 3307 --user relay \
    --password-file "$tls/relay.password" --ca "$tls/ca.pem" --cnf "$(conf_of relay)" \
    --connect-retry 1 --restart-cmd db-restart --snapshot "$box/snapshot.txt"
  serve_socket relay
  for i in 4 5; do
    new_password "$tls/robot$i.relay.password"
    relay add-robot "robot$i" --from 127.0.0.1 --password-file "$tls/robot$i.relay.password" \
      >/dev/null
    start_link "robot$i" relay 3308
    check "robot$i moves behind the relay" \
      quietly join "$i" --port 3308 --password-file "$tls/robot$i.relay.password"
  done
  check "  ... with the server ids the relay handed out" has_relay_ids
  check "the relay serves robots 4 and 5, the fleet server robots 1-3 and the relay" \
    test "$(dump_users relay) / $(dump_users fleet robot4,robot5)" = \
    "robot4 robot5 / relay robot1 robot2 robot3"
  sql robot4 "INSERT INTO custom_config (name, value, node_name, config_type)
    VALUES ('limits.yaml', 'limit: robot4', '', 2)"
  check "robot4's override behind the relay takes effect" \
    wait_until 10 file_is 4 limits.yaml "limit: robot4"
  relay_delivery
  relay_restart_and_cut
  sql robot4 "DELETE FROM custom_config WHERE name = 'limits.yaml'"
  check "  ... and the fleet's file comes back when robot4 drops its override" \
    wait_until 10 file_is 4 limits.yaml "limit: relayed"
}

relay_delivery() {
  local pos
  pos=$(sql relay "SHOW MASTER STATUS" | cut -f2)
  sql fleet "UPDATE global_config SET value = 'relayed' WHERE name = 'speed';
    UPDATE global_config SET value = 'limit: relayed' WHERE name = 'limits.yaml'"
  check "a fleet change reaches the robots behind the relay, and the others" \
    wait_until 30 all_robots_but 4 has_param speed relayed "limit: relayed"
  check "  ... robot4 gets the parameter" wait_until 10 param_is 4 speed relayed
  check "  ... and keeps its override of the file" file_is 4 limits.yaml "limit: robot4"
  local t i direct=() behind=()
  t=$(sql fleet "SELECT UNIX_TIMESTAMP(updated_at) FROM global_config WHERE name = 'speed'")
  for i in 1 2 3; do direct+=("$(millis "$t" "$(param_time "$i" speed relayed)")"); done
  for i in 4 5; do behind+=("$(millis "$t" "$(param_time "$i" speed relayed)")"); done
  figure "fleet commit to parameter set: direct robots $(printf '%s ' "${direct[@]}")ms," \
    "behind the relay $(printf '%s ' "${behind[@]}")ms"
  figure "relay's binary log: $((($(sql relay "SHOW MASTER STATUS" | cut -f2) - pos) / 2))" \
    "bytes per item change (global_config rows only)"
}

relay_restart_and_cut() {
  in_member relay db-restart 1 >/dev/null &
  local restart=$!
  sleep 0.3
  set_speed_values q 10
  wait "$restart"
  check "a relay restart during 10 fleet changes loses none: robot5 logs them in order, once" \
    wait_until 30 got_in_order q 10 5
  check "  ... and both robots follow the relay again" wait_until 30 behind_relay 4
  stop_link relay fleet
  set_speed_values x 10
  check "with the relay cut off, the direct robots get 10 changes" \
    wait_until 30 direct_robots_have x10
  check "  ... and robot5 behind the relay none of them" param_is 5 speed q10
  local sent
  sent=$(status_value relay Bytes_sent)
  start_link relay fleet 3307
  check "once the relay's link is back, robot5 logs all 10 in order, once" \
    wait_until 60 got_in_order x 10 5
  check "  ... and robot4 gets the last" wait_until 10 param_is 4 speed x10
  figure "relay sent $((($(status_value relay Bytes_sent) - sent) / 10 / 2)) bytes per item" \
    "change per robot (10 changes to 2 robots, before TLS)"
}
