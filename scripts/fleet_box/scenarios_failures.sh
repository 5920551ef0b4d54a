# shellcheck shell=bash
# Joins that cannot work change nothing; server ids that clash; leave and join again
# (sourced by fleet_box.sh).
# shellcheck disable=SC2154 # box, robots, tls and refusal are fleet_box.sh's

scenario_join_refusals() {
  section "joins that cannot work change nothing"
  local r=5
  echo "not the password" >"$tls/wrong.password"
  check "robot$r's rejoin with a wrong password is refused" \
    refused join "$r" --password-file "$tls/wrong.password" --wait 5
  check "  ... saying the fleet server refused the account" says "refused the account robot$r"
  check "  ... and its link is still up with the old password" following "robot$r" 3307
  check "a certificate the right CA signed for another name is refused" \
    refused join "$r" --host 127.0.0.2 --wait 5
  check "  ... saying it must name the host connected to" says "TLS with 127.0.0.2.*name 127.0.0.2"
  check "  ... and robot$r still follows 127.0.0.1" \
    test "$(slave_field "robot$r" Master_Host)" = 127.0.0.1
  check "a join with another robot's server id is refused" \
    refused join "$r" --server-id "$(sql robot2 "SELECT @@server_id")"
  check "  ... naming the clash" says "belongs to another robot"
  check "a join with the fleet server's own server id is refused" refused join "$r" --server-id 1
  check "  ... naming the clash" says "is 127.0.0.1's own"
  sql fleet "UPDATE global_config SET value = 'after refusals' WHERE name = 'speed'"
  check "robot$r still gets the fleet's changes, once" wait_until 10 param_is "$r" speed "after refusals"
  local t=$EPOCHREALTIME
  check "joining again is harmless" quietly join "$r"
  figure "join again, same settings: $(millis "$t" "$EPOCHREALTIME") ms"
  sql fleet "UPDATE global_config SET value = 'after rejoin' WHERE name = 'speed'"
  check "  ... changes still arrive" wait_until 30 all_robots has_param speed "after rejoin" \
    "limit: restart"
  check "  ... exactly once" test "$(grep -cF 'value="after rejoin"' "$box/robot$r.params")" -eq 1
}

status_lists() { fleet_server status | grep -qE -- "$1"; }
both_links_up() { io_up 2 && io_up 5; }

# Two servers cloned from one disk image: join cannot see the clash, the fleet server can.
scenario_server_id_clash() {
  section "two robots with one server id"
  local id2 id5
  id2=$(sql robot2 "SELECT @@server_id") id5=$(sql robot5 "SELECT @@server_id")
  check "velgar-fleet server status lists no server id in use twice" \
    fails status_lists "server id [0-9]+ \(handed out to"
  sql robot5 "STOP SLAVE; SET GLOBAL server_id = $id2; START SLAVE"
  check "with robot5 on robot2's server id, status lists that id" \
    wait_until 20 status_lists "server id $id2 \(handed out to robot2\)"
  check "  ... and one of the two stops replicating" wait_until 20 one_link_down
  sql robot5 "STOP SLAVE; SET GLOBAL server_id = $id5; START SLAVE"
  sql robot2 "START SLAVE"
  check "  ... with its own id back and replication started again, both links are up" \
    wait_until 20 both_links_up
}
one_link_down() { ! both_links_up; }

scenario_leave_and_discard() {
  section "leave, and join again with --discard-local-global"
  local r=5 seen
  check "robot$r leaves the fleet (through fleet_robot.sh, the old name)" answered leave "$r"
  check "  ... which says what replaces it" says "fleet_robot.sh: replaced by fleet/velgar-fleet robot"
  check "  ... its option file is gone" test ! -e "$(conf_of "robot$r")"
  check "  ... its global_config is its own again" \
    sql "robot$r" "UPDATE global_config SET value = 'own' WHERE name = 'speed'"
  check "  ... and its node follows the local edit" wait_until 10 param_is "$r" speed own
  sql fleet "UPDATE global_config SET value = 'while away' WHERE name = 'speed'"
  check "a robot with rows of its own does not join without --discard-local-global" \
    refused join "$r"
  check "  ... and keeps them" db_value_is speed own "$r"
  seen=$(max_change "$r")
  check "a fleet server whose certificate the CA did not sign is refused" \
    refused join "$r" --ca "$tls/other.pem" --wait 5 --discard-local-global
  check "  ... saying TLS failed" says "TLS with 127.0.0.1.*must be signed by --ca"
  check "  ... and robot$r keeps every row: nothing was withdrawn" \
    test "$(sql "robot$r" "SELECT COUNT(*) FROM global_config")-$(max_change "$r")" = "3-$seen"
  check "  ... nor follows anything" test -z "$(slave_field "robot$r" Slave_IO_Running)"
  check "joining with --discard-local-global brings back the fleet's rows" \
    quietly join "$r" --discard-local-global
  check "  ... and the fleet's current values reach the node" \
    wait_until 30 has_param speed "while away" "limit: restart" "$r"
}
