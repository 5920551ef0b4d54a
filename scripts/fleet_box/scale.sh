# shellcheck shell=bash
# fleet_box.sh --scale: what the fleet server costs as robots are added. The robots are
# database-only (MariaDB and replication, no node, no target), so that the machine's two
# cores go to the servers. At each step (--steps, default 5,20,50) it measures the fleet
# server's threads, memory (RSS), idle CPU over 10 s, and for 20 item changes its CPU, rows
# written, bytes sent per change and robot, binary log per change, and the time from the
# fleet's commit to its being applied on each robot; then the same 20 changes again with
# every robot reporting each one back (see scale_reporting_step), for the CPU, rows and
# binary log that reporting adds. Adding stops early when the machine's available memory
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
  # Its report account, reached where the stand-in reports run: inside the fleet member.
  fleet_server add-reporter "robot$i" --from 127.0.0.1 --host 127.0.0.1 --port 3306 \
    --ca "$tls/ca.pem" --out "$tls/robot$i.report.cnf" >/dev/null
}

# Rows the fleet server inserted, updated or deleted since it started (its handlers' counts,
# temporary tables not included).
rows_written() {
  sql fleet "SHOW GLOBAL STATUS WHERE Variable_name IN ('Handler_write', 'Handler_update',
    'Handler_delete')" | awk '{ n += $2 } END { printf "%d", n }'
}
ns_per_change_ms() { awk -v ns="$1" -v c="$2" 'BEGIN { printf "%.2f", ns / 1e6 / c }'; }
per_change() { awk -v n="$1" -v c="$2" 'BEGIN { printf "%.1f", n / c }'; }

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

# $1 changes of speed (tagged $2) on the fleet server, each waited for on robots 1..$3, and
# each followed by command $4 (none: nothing).
scale_changes() {
  local changes=$1 tag=$2 n=$3 after=${4:-} c
  for c in $(seq "$changes"); do
    sql fleet "UPDATE global_config SET value = '$tag-$c' WHERE name = 'speed'"
    scale_wait_all "$tag-$c" "$n" || { echo "  not every robot got $tag-$c"; return 1; }
    [ -z "$after" ] || "$after" "$tag-$c" || return 1
  done
}

# The robots' reports of each change. These robots run no node, so nothing publishes their
# item states: stand_in_reports.py stands in for that message only (the states a node
# publishes once it applied the change) and sends them through the reporter's own code, as
# each robot's report account, over TLS, through the report procedure. It runs in the fleet
# member (its CPU is its own, not the server's); one session per robot, as real reporters.
scale_reporters_start() {
  local n=$1 i creds=()
  for i in $(seq "$n"); do creds+=("$tls/robot$i.report.cnf"); done
  coproc REPORTS { run_in fleet /usr/bin/python3 "$root/scripts/fleet_box/stand_in_reports.py" \
    "$root/fleet" "${creds[@]}" 2>>"$box/reports.err"; }
  local answer
  if ! read -r -t 120 answer <&"${REPORTS[0]}" || [ "$answer" != ready ]; then
    echo "  the stand-in reports did not start (${answer:-no answer}):"
    cat "$box/reports.err"
    return 1
  fi
}
scale_report() {
  local answer
  echo "$1" >&"${REPORTS[1]}"
  if ! read -r -t 60 answer <&"${REPORTS[0]}" || [ "${answer%% *}" != sent ]; then
    echo "  reports of $1: ${answer:-no answer}"
    cat "$box/reports.err"
    return 1
  fi
}
scale_reporters_stop() {
  local pid=$REPORTS_PID
  eval "exec ${REPORTS[1]}>&-"
  wait "$pid" 2>/dev/null || true
}

# One step at $1 robots: idle, 20 changes without reports, the same with every robot
# reporting each, and the latency of 3 more. Each change is waited for on every robot before
# the next, in both halves, so that the two differ only by the reports.
scale_step() {
  local n=$1 changes=20 pid idle0 idle1 p50 pmax
  local cpu0 cpu1 sent0 sent1 pos0 pos1 rows0 rows1 cpu_r rows_r pos_r
  pid=$(server_pid fleet)
  idle0=$(cpu_ns_of "$pid")
  sleep 10
  idle1=$(cpu_ns_of "$pid")
  cpu0=$(cpu_ns_of "$pid") sent0=$(status_value fleet Bytes_sent) pos0=$(binlog_pos)
  rows0=$(rows_written)
  scale_changes "$changes" "n$n" "$n"
  cpu1=$(cpu_ns_of "$pid") sent1=$(status_value fleet Bytes_sent) pos1=$(binlog_pos)
  rows1=$(rows_written)
  scale_reporters_start "$n"
  local rcpu0 rrows0 rpos0
  rcpu0=$(cpu_ns_of "$pid") rrows0=$(rows_written) rpos0=$(binlog_pos)
  scale_changes "$changes" "r$n" "$n" scale_report
  cpu_r=$(($(cpu_ns_of "$pid") - rcpu0)) rows_r=$(($(rows_written) - rrows0))
  pos_r=$(($(binlog_pos) - rpos0))
  scale_reporters_stop
  read -r p50 pmax < <(scale_latencies "$n" 3 | stats)
  printf '| %s | %s | %s | %s | %s / %s | %s / %s | %s | %s / %s | %s / %s |\n' "$n" \
    "$(threads_of fleet)" "$(rss_mib_of "$pid")" "$(percent_of_core $((idle1 - idle0)) 10)" \
    "$(ns_per_change_ms $((cpu1 - cpu0)) "$changes")" "$(ns_per_change_ms "$cpu_r" "$changes")" \
    "$(per_change $((rows1 - rows0)) "$changes")" "$(per_change "$rows_r" "$changes")" \
    "$(((sent1 - sent0) / changes / n))" "$(((pos1 - pos0) / changes))" "$((pos_r / changes))" \
    "$p50" "$pmax" | tee -a "$box/scale.table"
}

scale_run() {
  echo "fleet box, scale: database-only robots in steps of $steps, in $box"
  make_tls
  start_member fleet
  setup_fleet_server_alone
  echo "| robots | fleet threads | fleet RSS MiB | fleet idle CPU % | fleet CPU ms per change," \
    "without / with reports | rows written per change, without / with reports | sent per" \
    "change per robot, bytes | binary log per change, bytes, without / with reports | fleet" \
    "commit to applied on a robot, p50 / max ms |"
  echo "|---|---|---|---|---|---|---|---|---|"
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
