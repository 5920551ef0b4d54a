#!/usr/bin/env bash
# The demo: builds everything, then inside the isolated environment starts a demo parameter
# node, and config_center with `ros2 launch`, on demo data, changes the tables step by step
# and shows what happened at the node, on disk and in the log, and what the ros2 CLI prints
# (/diagnostics among it); then a small fleet (scripts/fleet_box.sh --view: a fleet server
# and 3 robots) shows one change applied on two robots and held on the third, and why.
# Ends by itself and cleans up. --ros-distro humble|jazzy picks the ROS 2 release (else
# ROS_DISTRO, else humble).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ "${1:-}" != "--inside" ]; then
  # shellcheck source=scripts/ros2_env.sh
  source "$root/scripts/ros2_env.sh"
  ros2_take_release "$@"
  "$root/scripts/setup.sh"
  "$root/scripts/build.sh" >/dev/null
  "$root/scripts/isolated.sh" "$root/scripts/demo.sh" --inside
  printf '\n\033[1m== %s\033[0m\n' "A fleet: where one change stands, from what each robot reports back"
  exec "$root/scripts/fleet_box.sh" --view
fi

work=$(mktemp -d)
log_file=/opt/velgar/logs/config_center/config_center_log_file_$(date +%F)
pids=()
launch_pid=""
finish() {
  # ros2 launch runs in its own process group (setsid), so that its node is stopped too.
  [ -n "$launch_pid" ] && kill -INT -- "-$launch_pid" 2>/dev/null
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # The first ros2 call started a daemon; it would outlive this run.
  ros2 daemon stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap finish EXIT

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
sql() { echo "  sql> $*"; mariadb ROBOT -e "$*"; }
# Runs a command as typed at a shell and shows what it prints.
run() {
  echo "  \$ $*"
  "$@" 2>&1 | sed 's/^/    /'
}
log_lines=0
show_log() {
  echo "  node log (new lines):"
  tail -n +"$((log_lines + 1))" "$log_file" | sed 's/^/    /'
  log_lines=$(wc -l <"$log_file")
}
show_node() {
  echo "  demo_arm received:"
  local new
  new=$(tail -n +"$((node_lines + 1))" "$work/demo_arm.out")
  # shellcheck disable=SC2001  # indents every line, which no expansion does
  if [ -n "$new" ]; then sed 's/^/    /' <<<"$new"; else echo "    (nothing)"; fi
  node_lines=$(wc -l <"$work/demo_arm.out")
}
show_files() {
  echo "  /opt/velgar/configs:"
  for f in /opt/velgar/configs/*; do
    [ -e "$f" ] || { echo "    (empty)"; break; }
    printf '    %s (%s):\n' "$(basename "$f")" "$(stat -c '%A' "$f")"
    sed 's/^/      | /' "$f"
  done
}
settle() { sleep 0.3; }
node_lines=0

step "Demo data in the item tables"
mariadb ROBOT <"$root/config_center/db/demo_data.sql"
mariadb ROBOT -t -e "SELECT id, name, REPLACE(value, '\n', '\\\\n') AS value, node_name, config_type FROM global_config"

step "Start the demo parameter node demo_arm (a double, a string, an integer and a bool declared)"
arm_args=(--name demo_arm --double max_speed=0.0 --string mode=idle --int retries=3 --bool enabled=false)
param_target "${arm_args[@]}" >"$work/demo_arm.out" 2>&1 &
arm=$!
pids+=("$arm")
for _ in $(seq 100); do grep -q ready "$work/demo_arm.out" && break; sleep 0.1; done
show_node

step "Start config_center with ros2 launch: it distributes global_config, then custom_config"
echo "  (it asks demo_arm once for the types of its parameters, then sends each text as"
echo "   that type: \"1.5\" as a double, \"yes\" as a bool, strings as they are)"
echo "  \$ ros2 launch config_center config_center.launch.py &"
# A script's background job starts with SIGINT ignored, and launch stops its nodes on SIGINT
# only (on SIGTERM it leaves them running): give SIGINT back its default.
setsid env --default-signal=INT ros2 launch config_center config_center.launch.py \
  >"$work/launch.out" 2>&1 &
launch_pid=$!
for _ in $(seq 300); do grep -qs "Config center ready" "$log_file" && break; sleep 0.05; done
show_node
show_files
show_log
run ros2 node list

step "Update a parameter item"
sql "UPDATE global_config SET value = '2.0' WHERE name = 'max_speed'"
settle; show_node; show_log
run ros2 param get /demo_arm max_speed

step "Add a file item"
sql "INSERT INTO global_config (name, value, node_name, config_type) VALUES ('lidar.yaml', 'range_m: 40\n', '', 2)"
settle; show_files; show_log

step "A custom override hides the global item"
sql "INSERT INTO custom_config (name, value, node_name, config_type) VALUES ('mode', 'manual', 'demo_arm', 1)"
settle; show_node
sql "UPDATE global_config SET value = 'auto2' WHERE name = 'mode'"
settle; echo "  (the global change stays hidden while the override lives)"; show_node

step "Withdraw the override: the global item comes back"
sql "DELETE FROM custom_config WHERE name = 'mode'"
settle; show_node; show_log

step "A text that is no integer, for an integer parameter: reported, not sent, and config_center moves on"
sql "INSERT INTO global_config (name, value, node_name, config_type) VALUES ('retries', 'five', 'demo_arm', 1)"
settle; show_node; show_log

step "The same item as an integer: it arrives typed"
sql "UPDATE global_config SET value = '0x10' WHERE name = 'retries'"
settle; show_node

step "An item for a node this robot does not run yet: it holds back only that node"
sql "INSERT INTO global_config (name, value, node_name, config_type) VALUES ('force', '12.5', 'demo_gripper', 1)"
sql "UPDATE global_config SET value = '3.0' WHERE name = 'max_speed'"
sql "INSERT INTO global_config (name, value, node_name, config_type) VALUES ('gripper.yaml', 'model: g2\n', '', 2)"
# The first attempt looks for demo_gripper's service for up to its 1 s deadline.
sleep 1.3
echo "  (demo_arm and the file went on at once; demo_gripper's change waits, retried at"
echo "   growing intervals up to a second, and at once when the node appears)"
show_node; show_files; show_log

step "What a robot monitor reads on /diagnostics while demo_gripper is held"
# Held for 3 s, a target is a warning (held since the first attempt's deadline, above).
sleep 3.5
printf '%s\n' "  (a target held for 3 s or more is WARN, a lost database ERROR; ros2 prints a level" \
  '   as a byte: "\0" OK, "\x01" WARN, "\x02" ERROR)'
run ros2 topic echo /diagnostics --once

step "demo_gripper starts: its held change arrives"
param_target --name demo_gripper --double force=0.0 >"$work/demo_gripper.out" 2>&1 &
pids+=("$!")
for _ in $(seq 100); do grep -q '^set demo_gripper' "$work/demo_gripper.out" && break; sleep 0.02; done
echo "  demo_gripper received:"
sed 's/^/    /' "$work/demo_gripper.out"
show_log
echo "  \$ ros2 topic echo /diagnostics --once | grep -E '^- level|^  (name|message):'"
ros2 topic echo /diagnostics --once 2>&1 | grep -E '^- level|^  (name|message):' | sed 's/^/    /'

step "demo_arm is killed (SIGKILL) and respawned at once: its parameters come back"
{ kill -KILL "$arm" && wait "$arm"; } 2>/dev/null || true
param_target "${arm_args[@]}" >>"$work/demo_arm.out" 2>&1 &
arm=$!
pids+=("$arm")
start_lines=$(wc -l <"$work/demo_arm.out")
ready_ns=""
back_ns=""
for _ in $(seq 400); do
  new=$(tail -n +"$((start_lines + 1))" "$work/demo_arm.out")
  if [ -z "$ready_ns" ] && grep -q '^ready' <<<"$new"; then ready_ns=$(date +%s%N); fi
  # Four live parameter items: max_speed, mode, retries, enabled.
  if [ -n "$ready_ns" ] && [ "$(grep -c '^set demo_arm\.' <<<"$new")" -ge 4 ]; then
    back_ns=$(date +%s%N)
    break
  fi
  sleep 0.005
done
show_node
if [ -n "$back_ns" ]; then
  echo "  from the new demo_arm's ready to its four parameters back: $(((back_ns - ready_ns) / 1000000)) ms"
else
  echo "  the parameters did not come back within 2 s"
fi
show_log

step "A hand change to a managed parameter is set back at once"
run ros2 param set /demo_arm max_speed 9.0
settle; show_node; show_log
run ros2 param get /demo_arm max_speed

step "A managed file edited by hand is written again; a file of someone else's beside it is left alone"
echo "  \$ echo 'range_m: 99' >> /opt/velgar/configs/lidar.yaml; echo mine > /opt/velgar/configs/notes.txt"
echo 'range_m: 99' >>/opt/velgar/configs/lidar.yaml
echo mine >/opt/velgar/configs/notes.txt
settle; show_files; show_log
rm -f /opt/velgar/configs/notes.txt

step "Every item's state, as a late ros2 topic echo gets it (transient local)"
run ros2 topic echo --once /config_center/item_states

step "Delete a parameter item and a file item"
sql "DELETE FROM global_config WHERE name = 'max_speed'"
sql "UPDATE global_config SET deleted = 1 WHERE name = 'camera.ini'"
settle; show_node
echo "  (demo_arm declared max_speed, so it refuses to drop it, as any ROS 2 node does;"
echo "   config_center counts the answer and moves on)"
show_files; show_log

step "What demo_arm holds now"
for param in max_speed mode retries enabled; do run ros2 param get /demo_arm "$param"; done

step "Ask config_center through its service"
run ros2 service call /config_operate velgar_protocol/srv/ConfigOperate

step "Stop ros2 launch with SIGINT (as Ctrl-C does): it stops config_center"
kill -INT "$launch_pid"
status=0
wait "$launch_pid" || status=$?
launch_pid=""
echo "  ros2 launch exited with status $status; what it printed:"
sed 's/^/    /' "$work/launch.out"
echo
echo "Demo finished; the isolated environment is removed."
