# shellcheck shell=bash
# fleet_box.sh --scale: what the fleet server costs as robots are added. The robots are
# database-only (MariaDB and replication, no node, no target), so that the machine's two
# cores go to the servers. At each step (--steps, default 5,20,50) it measures the fleet
# server's threads, memory (RSS), idle CPU over 10 s, and for 20 item changes its CPU, bytes
# sent per change and robot, binary log per change, and the time from the fleet's commit to
# its being applied on each robot. Adding stops early when the machine's available memory
# falls below 3 GiB, and says so.
# shellcheck disable=SC2154 # root, box, steps and tls are fleet_box.sh's

scale_memory_floor_kib=$((3 * 1024 * 1024))
mem_available_kib() { awk '/^MemAvailable:/ { print $2 }' /proc/meminfo; }

scale_add_robot() {
  local i=$1
  start_member "robot$i"
  new_password "$tls/robot$i.password"
  fleet_server add-robot "robot$i" --from 127.0.0.1 --password-file "$tls/robot$i.password" \
    >/dev/null
  start_link "robot$i" fleet 3307
  join "$i" >"$box/robot$i.join.out" 2>&1 ||
    { echo "robot$i did not join:"; cat "$box/robot$i.join.out"; exit 1; }
}

# The robots that have the fleet's value $1 of speed, counted until all $2 have it.
scale_wait_all() {
  local i
  for i in $(seq "$2"); do
    wait_until 60 db_value_is speed "$1" "$i" || return 1
  done
}

# Milliseconds from a fleet commit to its being applied on each of robots 1..$1, for $2
# changes: before each, every robot has a session waiting in MASTER_GTID_WAIT for the
# transaction to come (the fleet server writes nothing else), which notes the time it ends.
# (A replicated row's own times are the fleet's, to the second, so they cannot tell.)
scale_latencies() {
  local n=$1 rounds=$2 k i next t waiters
  for k in $(seq "$rounds"); do
    next=$(sql fleet "SELECT @@gtid_binlog_pos" | awk -F- '{ printf "%s-%s-%s", $1, $2, $3 + 1 }')
    waiters=()
    for i in $(seq "$n"); do
      sql "robot$i" "SELECT MASTER_GTID_WAIT('$next', 30); SELECT UNIX_TIMESTAMP(SYSDATE(6))" |
        paste -s >"$box/waiter.$i" &
      waiters+=("$!")
    done
    wait_until 30 all_waiting "$n"
    t=$(sql fleet "UPDATE global_config SET value = 'lat-$k' WHERE name = 'speed';
      SELECT UNIX_TIMESTAMP(updated_at) FROM global_config WHERE name = 'speed'")
    wait "${waiters[@]}" || true
    cat "$box"/waiter.* | awk -v t="$t" '$1 == 0 { printf "%.1f\n", ($2 - t) * 1000 }'
    rm -f "$box"/waiter.*
  done
}
all_waiting() {
  local i
  for i in $(seq "$1"); do
    [ "$(sql "robot$i" "SELECT COUNT(*) FROM information_schema.processlist
      WHERE info LIKE 'SELECT MASTER_GTID_WAIT%'")" -eq 1 ] || return 1
  done
}

scale_step() {
  local n=$1 changes=20 pid idle0 idle1 cpu0 cpu1 sent0 sent1 pos0 pos1 c tag=n$1 p50 pmax
  pid=$(server_pid fleet)
  idle0=$(cpu_ticks_of "$pid")
  sleep 10
  idle1=$(cpu_ticks_of "$pid")
  cpu0=$(cpu_ticks_of "$pid") sent0=$(status_value fleet Bytes_sent) pos0=$(binlog_pos)
  for c in $(seq "$changes"); do
    sql fleet "UPDATE global_config SET value = '$tag-$c' WHERE name = 'speed'"
  done
  scale_wait_all "$tag-$changes" "$n" || echo "  not every robot got the step's changes"
  cpu1=$(cpu_ticks_of "$pid") sent1=$(status_value fleet Bytes_sent) pos1=$(binlog_pos)
  read -r p50 pmax < <(scale_latencies "$n" 3 | stats)
  printf '| %s | %s | %s | %s | %s | %s | %s | %s / %s |\n' "$n" "$(threads_of fleet)" \
    "$(rss_mib_of "$pid")" "$(percent_of_core $((idle1 - idle0)) 10)" \
    "$(awk -v t=$((cpu1 - cpu0)) -v c="$changes" -v hz="$(getconf CLK_TCK)" \
      'BEGIN { printf "%.2f", t * 1000 / hz / c }')" \
    "$(((sent1 - sent0) / changes / n))" "$(((pos1 - pos0) / changes))" "$p50" "$pmax" |
    tee -a "$box/scale.table"
}

scale_run() {
  echo "fleet box, scale: database-only robots in steps of $steps, in $box"
  make_tls
  start_member fleet
  setup_fleet_server_alone
  echo "| robots | fleet threads | fleet RSS MiB | fleet idle CPU % | fleet CPU ms per change" \
    "| sent per change per robot, bytes | binary log per change, bytes | fleet commit to" \
    "applied on a robot, p50 / max ms |"
  echo "|---|---|---|---|---|---|---|---|"
  local step n=0 stopped=""
  for step in ${steps//,/ }; do
    while [ "$n" -lt "$step" ]; do
      if [ "$(mem_available_kib)" -lt "$scale_memory_floor_kib" ]; then
        stopped="stopped adding robots at $n: the machine had $(($(mem_available_kib) / 1024))" \
          "MiB available"
        break 2
      fi
      n=$((n + 1))
      scale_add_robot "$n"
    done
    scale_step "$n"
  done
  [ -z "$stopped" ] || { echo "$stopped"; scale_step "$n"; }
  figure "robot servers: $(rss_mib_of "$(server_pid robot1)") MiB RSS each (robot1)"
  figures+=("$(cat "$box/scale.table")")
}

# The fleet server with its items and nothing else.
setup_fleet_server_alone() {
  fleet_server setup --cert "$tls/fleet.pem" \
    --key "$tls/fleet.key" --cnf "$(conf_of fleet)" --restart-cmd db-restart >/dev/null
  serve_socket fleet
  sql fleet "INSERT INTO global_config (name, value, node_name, config_type) VALUES
    ('speed', 's0', 'fleet_arm', 1), ('limits.yaml', 'limit: 0', '', 2)"
}
