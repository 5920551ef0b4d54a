# shellcheck shell=bash
# Fleet changes reach the robots: how fast, around an override, after a cut, after a restart
# (sourced by fleet_box.sh).
# shellcheck disable=SC2154 # box, robots, rounds and override_line are fleet_box.sh's

# What an idle robot costs: its node and its database server, over a few seconds ($1 says
# how the node learns of changes). Nanoseconds on CPU, as the shares are small.
idle_robot_figure() {
  local seconds=3 node0 db0 node1 db1
  node0=$(cpu_ns_of "${node_pid[1]}") db0=$(cpu_ns_of "$(server_pid robot1)")
  sleep "$seconds"
  node1=$(cpu_ns_of "${node_pid[1]}") db1=$(cpu_ns_of "$(server_pid robot1)")
  figure "idle robot1, $1: config_center $(percent_of_core $((node1 - node0)) "$seconds") %," \
    "its MariaDB $(percent_of_core $((db1 - db0)) "$seconds") % of one core over $seconds s"
}
percent_of_core() { awk -v ns="$1" -v s="$2" 'BEGIN { printf "%.3f", 100 * ns / 1e9 / s }'; }
# The last thing robot $1's node said of its change feed: up.
feed_up() {
  grep -hE 'change feed up|Change feed (down|was down)' \
    "$(state_of "robot$1")"/velgar/logs/config_center/config_center_log_file_* |
    tail -n 1 | grep -qE 'change feed up|is up again'
}
feed_refused() {
  grep -qh 'Change feed down: no privilege' \
    "$(state_of "robot$1")"/velgar/logs/config_center/config_center_log_file_*
}
# Robots learn of fleet changes through their own binary log (the join turns on
# log_slave_updates, so replicated rows reach it); robot1 measured idle that way and, with
# the feed's grant taken away for a moment, polling every 1 ms as a node without it does.
scenario_feed() {
  section "robots learn of fleet changes from their own binary log"
  check "every robot's node follows its binary log (change feed up)" \
    wait_until 20 all_robots feed_up
  idle_robot_figure "change feed"
  # The node's own account (isolated.sh sets it up as deploy/setup_robot.sh does).
  sql robot1 "REVOKE REPLICATION SLAVE ON *.* FROM 'config_center'@'127.0.0.1', 'config_center'@'localhost'"
  # The feed finds out when it connects again: end its connection.
  sql robot1 "SELECT id FROM information_schema.processlist WHERE command = 'Binlog Dump' AND
    user = 'config_center'" | while read -r id; do sql robot1 "KILL $id"; done
  check "  ... without the grant robot1's node polls, and says why" wait_until 10 feed_refused 1
  idle_robot_figure "polling every 1 ms"
  sql robot1 "GRANT REPLICATION SLAVE ON *.* TO 'config_center'@'127.0.0.1', 'config_center'@'localhost'"
  stop_node 1
  start_node 1
  check "  ... and follows its binary log again once it has it back" wait_until 20 feed_up 1
}
scenario_delivery() {
  section "fleet changes reach every robot"
  local pos0 sent0 cpu0 k t_speed t_file i p f worst last
  local param_ms=() file_ms=() round_ms=() robot_worst=()
  pos0=$(binlog_pos) sent0=$(status_value fleet Bytes_sent) cpu0=$(cpu_ticks_of "$(server_pid fleet)")
  for k in $(seq "$rounds"); do
    sql fleet "UPDATE global_config SET value = 's$k' WHERE name = 'speed';
      UPDATE global_config SET value = 'limit: $k' WHERE name = 'limits.yaml';
      UPDATE global_config SET value = 'm$k' WHERE name = 'mode'"
    wait_until 30 all_robots has_param speed "s$k" "limit: $k" || continue
    t_speed=$(sql fleet "SELECT UNIX_TIMESTAMP(updated_at) FROM global_config WHERE name = 'speed'")
    t_file=$(sql fleet "SELECT UNIX_TIMESTAMP(updated_at) FROM global_config
      WHERE name = 'limits.yaml'")
    last=0
    for i in $(seq "$robots"); do
      p=$(millis "$t_speed" "$(param_time "$i" speed "s$k")")
      f=$(millis "$t_file" "$(stat -c %.6Y "$(configs_of "robot$i")/limits.yaml")")
      param_ms+=("$p") file_ms+=("$f")
      worst=$(larger "$p" "$f")
      robot_worst[i]="${robot_worst[i]:-} $worst"
      last=$(larger "$last" "$worst")
    done
    round_ms+=("$last")
  done
  check "all $rounds rounds of fleet changes reached every robot's parameters and files" \
    test "${#round_ms[@]}" -eq "$rounds"
  [ "${#round_ms[@]}" -eq 0 ] || delivery_figures
  local changes=$((3 * rounds))
  figure "fleet binary log: $((($(binlog_pos) - pos0) / changes)) bytes per item change" \
    "(row images of the item row and of the fleet's own change-log row)"
  figure "fleet server sent $((($(status_value fleet Bytes_sent) - sent0) / changes / robots))" \
    "bytes per item change per robot (before TLS; includes this script's few queries)"
  figure "fleet server CPU: $(ticks_to_ms $(($(cpu_ticks_of "$(server_pid fleet)") - cpu0))) ms" \
    "for $changes item changes to $robots robots"
  override_survived
}
delivery_figures() {
  local p50 pmax f50 fmax r50 rmax i m slowest="" slowest_p50=-1
  read -r p50 pmax < <(printf '%s\n' "${param_ms[@]}" | stats)
  read -r f50 fmax < <(printf '%s\n' "${file_ms[@]}" | stats)
  read -r r50 rmax < <(printf '%s\n' "${round_ms[@]}" | stats)
  figure "fleet commit to parameter set on a robot: p50 $p50 ms, max $pmax ms" \
    "(${#param_ms[@]} deliveries)"
  figure "fleet commit to file written on a robot: p50 $f50 ms, max $fmax ms" \
    "(${#file_ms[@]} deliveries)"
  figure "fleet commit until the last of $robots robots had both: p50 $r50 ms, max $rmax ms"
  for i in $(seq "$robots"); do
    # shellcheck disable=SC2086 # one number per word
    m=$(printf '%s\n' ${robot_worst[i]} | stats | cut -d' ' -f1)
    if awk -v a="$m" -v b="$slowest_p50" 'BEGIN { exit !(a > b) }'; then
      slowest=robot$i slowest_p50=$m
    fi
  done
  figure "slowest robot: $slowest, p50 $slowest_p50 ms (parameter and file both done)"
}
got_fleet_modes() {
  [ "$(grep -cE ' set fleet_arm.mode type=string value="m[0-9]+"' "$box/robot$2.params")" -eq "$1" ]
}
override_survived() {
  check "robot1's override survived every fleet change of mode" \
    test -z "$(tail -n +"$((override_line + 1))" "$box/robot1.params" | grep -F ' set fleet_arm.mode ')"
  check "  ... and robot1's change log got no fleet row for mode after the override" \
    test "$(sql robot1 "SELECT COUNT(*) FROM config_table_changes WHERE name = 'mode' AND
      source_table = 'global_config' AND id > (SELECT MAX(id) FROM config_table_changes
      WHERE source_table = 'custom_config' AND name = 'mode')")" -eq 0
  check "  ... while the other robots got every fleet value of mode" \
    all_robots_but 1 got_fleet_modes $((rounds + 1))
}

# The speed values robot $1's node got that match $2, in order, and its change log's.
values_received() {
  grep -oE " set fleet_arm.speed type=string value=\"$2\"" "$box/robot$1.params" |
    sed -E 's/.*"(.*)"/\1/' | tr '\n' ' '
}
values_logged() {
  sql "robot$1" "SELECT value FROM config_table_changes WHERE name = 'speed' AND
    value REGEXP '^$2\$' ORDER BY id" | tr '\n' ' '
}
sequence() { local c; for c in $(seq "$2"); do printf '%s%s ' "$1" "$c"; done; }
# The node's values $3 of $1<number> only go forward, none twice, and end with $1$2: a
# queued change of an item may give way to a newer one of the same item, never to an older.
forward_to_last() {
  awk -v p="$1" -v last="$2" '{
    n = 0
    for (i = 1; i <= NF; i++) { v = substr($i, length(p) + 1) + 0; if (v <= n) exit 1; n = v }
    exit n != last }' <<<"$3"
}

scenario_offline() {
  section "a robot cut off from the fleet catches up"
  local off=3 c t n=20
  stop_link "robot$off" fleet
  check "robot$off notices its link is down" wait_until 30 io_down "$off"
  for c in $(seq "$n"); do sql fleet "UPDATE global_config SET value = 'c$c' WHERE name = 'speed'"; done
  # The fleet server finds the connection gone when it writes to it (a change or a heartbeat).
  check "  ... and the fleet server's thread for it ends" \
    wait_until 30 dump_threads_are $((robots - 1)) fleet
  sql fleet "UPDATE global_config SET value = 'limit: offline' WHERE name = 'limits.yaml'"
  sql "robot$off" "INSERT INTO custom_config (name, value, node_name, config_type)
    VALUES ('offline.yaml', 'made while offline', '', 2)"
  check "the connected robots got all $n changes" \
    wait_until 30 all_robots_but "$off" has_param speed "c$n" "limit: offline"
  check "robot$off, offline, works on: a local change reaches its files" \
    wait_until 10 file_is "$off" offline.yaml "made while offline"
  check "robot$off got none of the fleet's changes while offline" param_is "$off" speed "s$rounds"
  t=$EPOCHREALTIME
  start_link "robot$off" fleet 3307
  check "robot$off caught up once its link was back" \
    wait_until 60 has_param speed "c$n" "limit: offline" "$off"
  figure "robot$off caught up on $n changes $(millis "$t" "$EPOCHREALTIME") ms after its link" \
    "came back (reconnect attempts every 1 s)"
  check "  ... its node got them in order, none twice, ending with the last" \
    forward_to_last c "$n" "$(values_received "$off" 'c[0-9]+')"
  check "  ... its change log holds them in order, each once" \
    test "$(values_logged "$off" 'c[0-9]+')" = "$(sequence c "$n")"
}

scenario_restart() {
  section "a robot whose database and node restart catches up"
  local re=4 c
  stop_node "$re"
  in_member "robot$re" db-stop
  for c in 1 2 3 4 5; do sql fleet "UPDATE global_config SET value = 'r$c' WHERE name = 'speed'"; done
  sql fleet "UPDATE global_config SET value = 'limit: restart' WHERE name = 'limits.yaml'"
  in_member "robot$re" db-start
  start_node "$re"
  check "robot$re caught up after its database and node restarted" \
    wait_until 60 has_param speed r5 "limit: restart" "$re"
  check "  ... its change log holds the 5 changes in order" \
    test "$(values_logged "$re" 'r[0-9]')" = "$(sequence r 5)"
  check "  ... its options came back from the option file" \
    test "$(sql "robot$re" "SELECT @@replicate_do_table, @@replicate_wild_do_table,
      @@slave_run_triggers_for_rbr, @@log_slave_updates, @@event_scheduler")" = \
    "$(printf 'ROBOT.global_config\tROBOT.global_config\tENFORCE\t1\tON')"
  check "  ... and it still refuses local edits of global_config" refuses_edit "$re"
}
