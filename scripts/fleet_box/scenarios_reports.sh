# shellcheck shell=bash
# Robots report their item states to the fleet server (sourced by fleet_box.sh). Each robot
# runs `velgar-fleet robot report` with a report account of its own, and reaches the fleet
# server for it on its own port 3309: robots 1-3 directly, robots 4 and 5 (once behind the
# relay) through the relay's host, which passes the TLS session on unopened to the fleet
# server (socat in the relay, over the relay's own link to the fleet server).
# shellcheck disable=SC2154,SC2034 # fleet_box.sh's variables; link_pids is members.sh's

# Robot $1 reaches the fleet server for reports on its port 3309, through $2 (fleet or relay).
report_link() {
  local i=$1 via=$2 sock="$box/fleet.sock"
  stop_report_link "$i"
  [ "$via" = fleet ] || sock="$box/relay-fleet.sock"
  run_in "robot$i" setsid socat "TCP-LISTEN:3309,fork,reuseaddr" "UNIX-CONNECT:$sock" \
    >>"$box/robot$i.report-link.out" 2>&1 &
  link_pids[robot$i-report]=$!
  wait_until 10 link_up "robot$i" 3309
}
stop_report_link() { stop_link "robot$1" report; }
# The relay passes report sessions on to the fleet server over its own link (its port 3307).
relay_passes_reports() {
  run_in relay setsid socat "UNIX-LISTEN:$box/relay-fleet.sock,fork,mode=0600" \
    TCP:127.0.0.1:3307 >>"$box/relay.report-pass.out" 2>&1 &
  link_pids[relay-report-pass]=$!
  wait_until 10 test -S "$box/relay-fleet.sock"
}
start_reporters() {
  local i
  for i in $(seq "$robots"); do
    fleet_server add-reporter "robot$i" --from 127.0.0.1 --host 127.0.0.1 --port 3309 \
      --ca "$tls/ca.pem" --out "$tls/robot$i.report.cnf" >/dev/null
    report_link "$i" fleet
    run_in "robot$i" "$root/fleet/velgar-fleet" robot report --heartbeat 600 \
      --credentials "$tls/robot$i.report.cnf" >>"$box/robot$i.report.out" 2>&1 &
    bg_pids+=("$!")
  done
}
# What the fleet server holds of robot $1's item $2 (state, reason, digest).
reported() {
  sql fleet "SELECT CONCAT_WS('|', state, reason, value_sha256) FROM velgar_fleet.robot_items
    WHERE robot = 'robot$1' AND name = '$2'"
}
digest_of() { sql fleet "SELECT SHA2(value, 256) FROM global_config WHERE name = '$1'"; }
# Every robot reported item $1 applied with the fleet's present value (in one query: the
# timed rounds below poll it).
all_reported_applied() {
  [ "$(sql fleet "SELECT COUNT(*) FROM velgar_fleet.robot_items i JOIN global_config g
    ON g.name = i.name AND g.config_type = i.config_type AND g.node_name <=> i.node_name
    WHERE i.name = '$1' AND i.state = 'applied' AND i.value_sha256 = SHA2(g.value, 256)")" \
    -eq "$robots" ]
}
reported_applied() { [ "$(reported "$1" "$2")" = "applied||$(digest_of "$2")" ]; }
states_of() {
  sql fleet "SELECT GROUP_CONCAT(CONCAT(robot, '=', state) ORDER BY robot SEPARATOR ' ')
    FROM velgar_fleet.robot_items WHERE name = '$1'"
}
states_are() { [ "$(states_of "$1")" = "$2" ]; }
# Robots 1..$1 in state $2, the rest in state $3, as states_of lists them.
expected_states() {
  local i out=()
  for i in $(seq "$robots"); do
    if [ "$i" -le "$1" ]; then out+=("robot$i=$2"); else out+=("robot$i=$3"); fi
  done
  printf '%s\n' "${out[@]}" | sort | paste -sd' '
}

report_failures() { cat "$box"/robot*.report.out | grep -c "report failed" || true; }

scenario_reports() {
  section "robots report their item states to the fleet server"
  check "every robot's reports reach the fleet server (robots 4 and 5 through the relay)" \
    wait_until 20 all_reported_applied speed
  check "  ... each robot's last report in velgar_fleet.reporters" test \
    "$(sql fleet "SELECT COUNT(*) FROM velgar_fleet.reporters WHERE reported_at IS NOT NULL")" \
    -eq "$robots"
  check "  ... and in velgar_fleet.robots (all but the relay, which reports nothing)" test \
    "$(sql fleet "SELECT GROUP_CONCAT(name) FROM velgar_fleet.robots WHERE reported_at IS NULL")" \
    = relay
  report_accounts
  report_held_and_refused
  report_offline
  report_server_restart
  report_latency
}

report_accounts() {
  local cnf="$tls/robot1.report.cnf"
  check "robot1's report account reads nothing of the fleet server (over TLS)" \
    refused in_member robot1 mariadb --defaults-file="$cnf" --ssl-verify-server-cert \
    -e "SELECT * FROM velgar_fleet.robot_items"
  check "  ... nor global_config" refused in_member robot1 mariadb --defaults-file="$cnf" \
    --ssl-verify-server-cert -e "SELECT * FROM ROBOT.global_config"
  check "  ... and cannot write robot2's rows" refused in_member robot1 mariadb \
    --defaults-file="$cnf" --ssl-verify-server-cert \
    -e "DELETE FROM velgar_fleet.item_reports WHERE robot = 'robot2'"
  check "  ... nor log in without TLS" refused in_member robot1 mariadb --defaults-file="$cnf" \
    --skip-ssl -e "SELECT 1"
}

report_held_and_refused() {
  local answer
  # The gripper's node runs on robots 1-3 (scenario_absent_node); robot4 starts it now.
  start_target 4 --name fleet_gripper --string grip=none
  check "grip: applied on robots 1-4, held on robot5 only (its node is not running)" \
    wait_until 15 states_are grip "$(expected_states 4 applied held)"
  check "  ... with the node's reason" says_reason 5 grip "fleet_gripper"
  answer=$(fleet_server item grip --node fleet_gripper --json)
  check "  ... and velgar-fleet server item counts it so, naming robot5" python3 -c '
import json, sys
a = json.loads(sys.argv[1])
n = {s: [r["robot"] for r in rs] for s, rs in a["states"].items()}
sys.exit(not (len(n["applied"]) == 4 and n["held"][0] == "robot5" and a["silent"] == []))
' "$answer"
  fleet_server item grip --node fleet_gripper | sed 's/^/    /'
  sql fleet "INSERT INTO global_config (name, value, node_name, config_type)
    VALUES ('torque', '5', 'fleet_arm', 1)"
  check "an item fleet_arm does not declare is reported refused by every robot" \
    wait_until 15 states_are torque "$(expected_states "$robots" refused refused)"
  check "  ... with the reason fleet_arm gave" refusal_reason_is_the_nodes 3
  fleet_server robot robot5 | sed 's/^/    /'
}
says_reason() { reported "$1" "$2" | cut -d'|' -f2 | grep -q -- "$3"; }
refusal_reason_is_the_nodes() {
  local node_reason
  node_reason=$(grep -E " refused fleet_arm\.torque reason=" "$box/robot$1.params" | tail -n 1 |
    sed 's/.* reason=//')
  [ -n "$node_reason" ] && reported "$1" torque | cut -d'|' -f2 | grep -qF -- "$node_reason"
}

report_offline() {
  local c
  stop_report_link 2
  for c in 1 2 3; do sql fleet "UPDATE global_config SET value = 'away$c' WHERE name = 'speed'"; done
  sql fleet "UPDATE global_config SET value = 'limit: away' WHERE name = 'limits.yaml'"
  check "with its report link cut, robot2 applies the changes but cannot report them" \
    wait_until 15 all_but_2_reported
  sleep 3
  check "  ... and the fleet server still holds robot2's older report" \
    fails reported_applied 2 speed
  report_link 2 fleet
  check "robot2 reports what changed while it was away once its link returns" \
    wait_until 40 both_reported_applied 2
}
all_but_2_reported() {
  local i
  for i in $(seq "$robots"); do
    [ "$i" -eq 2 ] || both_reported_applied "$i" || return 1
  done
}
both_reported_applied() { reported_applied "$1" speed && reported_applied "$1" limits.yaml; }

report_server_restart() {
  local c failures_before
  failures_before=$(report_failures)
  for c in $(seq 20); do
    sql fleet "UPDATE global_config SET value = 'stream$c' WHERE name = 'speed'"
    [ "$c" -ne 10 ] || in_member fleet db-restart >/dev/null 2>&1
    sleep 0.2
  done
  check "a fleet server restart in a stream of 20 changes: every robot's report ends on the last" \
    wait_until 60 all_reported_applied speed
  check "  ... and the reporters did see it go (failed calls, tried again)" \
    test "$(report_failures)" -gt "$failures_before"
}

# A fleet change until every robot has reported it applied (the fleet server's time of the
# last robot's report, on this machine's one clock), beside the time until every robot's
# node had it (the delivery the reports follow), over 10 changes.
# The fleet server's binary log position (file and offset): reports must not reach it.
log_position() { sql fleet "SHOW MASTER STATUS" | cut -f1,2; }
report_latency() {
  local c t reported_ms=() delivered_ms=() i last log_before log_after log_bytes
  log_before=$(log_position)
  for c in $(seq 10); do
    t=$EPOCHREALTIME
    sql fleet "UPDATE global_config SET value = 'timed$c' WHERE name = 'speed'"
    wait_until 20 all_reported_applied speed || continue
    reported_ms+=("$(millis "$t" "$(sql fleet "SELECT MAX(UNIX_TIMESTAMP(reported_at))
      FROM velgar_fleet.robot_items WHERE name = 'speed'")")")
    last=0
    for i in $(seq "$robots"); do
      last=$(larger "$last" "$(param_time "$i" speed "timed$c")")
    done
    delivered_ms+=("$(millis "$t" "$last")")
    sleep 0.3
  done
  log_after=$(log_position)
  log_bytes=$(awk -v a="${log_before#*$'\t'}" -v b="${log_after#*$'\t'}" \
    'BEGIN { printf "%.0f", (b - a) / 10 }')
  figure "fleet server's binary log per fleet change with $robots robots reporting:" \
    "$log_bytes bytes"
  # One change is about 640 bytes there; each robot's report would add hundreds more.
  check "  ... none of the reports is in the binary log every robot reads" \
    test "${log_before%$'\t'*}" = "${log_after%$'\t'*}" -a "$log_bytes" -lt 1000
  read -r p50 p99 < <(printf '%s\n' "${reported_ms[@]}" | stats)
  read -r d50 d99 < <(printf '%s\n' "${delivered_ms[@]}" | stats)
  figure "fleet commit until the fleet server stored every robot's report of it applied:" \
    "p50 $p50 ms, max $p99 ms of ${#reported_ms[@]}; until every node had it (baseline):" \
    "p50 $d50 ms, max $d99 ms"
  check "every one of 10 timed changes was reported applied by every robot" \
    test "${#reported_ms[@]}" -eq 10
}
