#!/usr/bin/env bash
# fleet_box.sh [--robots N] [--rounds N] [--report FILE]
# A fleet in a box, as a test: a fleet server and N robots (default 5), each in its own
# mount and network namespace made by isolated.sh (its own 127.0.0.1, MariaDB, /opt/velgar,
# config_center and a param_target node). A robot reaches the fleet server only through a
# relay on its own loopback (socat, 127.0.0.1:3307) to a Unix socket that a relay in the
# fleet server's namespace serves; cutting a robot off is stopping its relay. No traffic
# leaves these namespaces' loopback interfaces.
#
# Joins every robot with scripts/fleet_robot.sh (TLS with a CA made here), then checks that
# fleet changes reach every robot's files and parameters (and measures how fast), that a
# robot cut off during 20 fleet changes catches up in order, that a robot whose database and
# node restart catches up, that a robot's local override survives every fleet change, that
# a robot refuses local edits of global_config, leave and join again, and a join from a
# snapshot after the fleet server purged its old binary logs. Prints the figures
# and one closing line; exits 0 only when every check passed. Needs root and a build.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
self="$root/scripts/fleet_box.sh"

# A member of the box: holds its namespaces (made by isolated.sh) until the driver is done.
# The driver runs everything inside through nsenter, with the environment saved here.
if [ "${1:-}" = --member ]; then
  dir=$2 driver=$3
  export -p >"$dir/env.tmp"
  mv "$dir/env.tmp" "$dir/env"
  dirname "$(command -v db-start)" >"$dir/state"
  echo $$ >"$dir/pid"
  while [ ! -e "$dir/stop" ] && kill -0 "$driver" 2>/dev/null; do sleep 0.5; done
  exit 0
fi

robots=5 rounds=10 offline_changes=20 report=""
while [ $# -gt 0 ]; do
  case $1 in
    --robots) robots=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --report) report=$2; shift 2 ;;
    *) echo "usage: fleet_box.sh [--robots N] [--rounds N] [--report FILE]" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "fleet_box.sh: needs root (namespaces)" >&2; exit 2; }
[ "$robots" -ge 5 ] || { echo "fleet_box.sh: needs at least 5 robots" >&2; exit 2; }
[ -x "$root/install/lib/config_center/config_center" ] ||
  { echo "fleet_box.sh: build first (scripts/build.sh)" >&2; exit 2; }

box=$(mktemp -d /var/tmp/velgar_fleet_box.XXXXXX)
chmod 0711 "$box"
members=() bg_pids=() relay_pids=()
passed=0 failed=0
figures=()

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  local p m
  for p in "${relay_pids[@]}"; do [ -z "$p" ] || kill -TERM -- "-$p" 2>/dev/null || true; done
  for p in "${bg_pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${bg_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  for m in "${members[@]}"; do touch "$box/$m/stop"; done
  wait 2>/dev/null || true
  rm -rf "$box"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok - $what"
    passed=$((passed + 1))
  else
    echo "FAIL - $what"
    failed=$((failed + 1))
  fi
}
figure() {
  echo "figure: $*"
  figures+=("$*")
}

# Waits up to $1 seconds for the command to succeed.
wait_until() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# One at a time: servers bootstrapping side by side have been seen to trip over each other.
start_member() {
  local name=$1 pid
  mkdir -p "$box/$name"
  env -u CONFIG_CENTER_ISOLATED "$root/scripts/isolated.sh" "$self" --member "$box/$name" $$ \
    >"$box/$name.out" 2>&1 &
  pid=$!
  members+=("$name")
  until [ -s "$box/$name/pid" ] && [ -s "$box/$name/env" ] && [ -s "$box/$name/state" ]; do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "member $name did not start:"
      cat "$box/$name.out"
      exit 1
    fi
    sleep 0.1
  done
}

# Becomes a command inside a member's namespaces, with the member's environment; run it in
# the background (`run_in ... &`) and $! is the command's own pid.
run_in() {
  local name=$1
  shift
  # shellcheck disable=SC2016 # expanded by the inner shell
  exec nsenter -t "$(cat "$box/$name/pid")" -m -n -- \
    bash -c '. "$0"; cd /; exec "$@"' "$box/$name/env" "$@"
}
in_member() { (run_in "$@"); }
conf_of() { echo "$(cat "$box/$1/state")/my.cnf.d/60-velgar-fleet.cnf"; }
configs_of() { echo "$(cat "$box/$1/state")/velgar/configs"; }
sql() {
  local name=$1
  shift
  in_member "$name" mariadb ROBOT --batch --skip-column-names -e "$*"
}

# Each line a parameter node prints, with the time it was printed.
stamp() { while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }

relay_up() { in_member "robot$1" bash -c 'exec 3<>/dev/tcp/127.0.0.1/3307' 2>/dev/null; }
start_relay() {
  local i=$1
  run_in "robot$i" setsid socat TCP-LISTEN:3307,bind=127.0.0.1,fork,reuseaddr \
    "UNIX-CONNECT:$box/fleet.sock" >>"$box/robot$i.relay.out" 2>&1 &
  relay_pids[i]=$!
  wait_until 10 relay_up "$i"
}
stop_relay() {
  local i=$1
  kill -TERM -- "-${relay_pids[i]}" 2>/dev/null || true
  wait "${relay_pids[i]}" 2>/dev/null || true
  relay_pids[i]=""
}

declare -A node_pid
start_node() {
  local i=$1
  run_in "robot$i" config_center >>"$box/robot$i.node.out" 2>&1 &
  node_pid[$i]=$!
  bg_pids+=("$!")
}
stop_node() {
  local i=$1
  kill -TERM "${node_pid[$i]}" 2>/dev/null || true
  wait "${node_pid[$i]}" 2>/dev/null || true
}
start_target() {
  local i=$1
  : >>"$box/robot$i.params"
  run_in "robot$i" param_target --name fleet_arm --string speed=none --string mode=none \
    > >(stamp >>"$box/robot$i.params") 2>&1 &
  bg_pids+=("$!")
}

# The value of a parameter item that robot $1's node last set ("" when none).
param_now() {
  grep -F " set fleet_arm.$2 " "$box/robot$1.params" | tail -n 1 |
    sed -E 's/.* value="(.*)"$/\1/'
}
# When robot $1's node first received value $3 for parameter $2 (epoch seconds).
param_time() {
  grep -F " set fleet_arm.$2 type=string value=\"$3\"" "$box/robot$1.params" | head -n 1 |
    cut -d' ' -f1
}
param_is() { [ "$(param_now "$1" "$2")" = "$3" ]; }
file_is() { [ "$(cat "$(configs_of "robot$1")/$2" 2>/dev/null)" = "$3" ]; }
# Robot $4 has parameter $1 at $2 and the file limits.yaml holding $3.
has_param() { param_is "$4" "$1" "$2" && file_is "$4" limits.yaml "$3"; }
# Runs the command with each robot's number appended; fails at the first that fails.
all_robots() { all_robots_but 0 "$@"; }
all_robots_but() {
  local skip=$1 i
  shift
  for i in $(seq "$robots"); do
    [ "$i" -eq "$skip" ] || "$@" "$i" || return 1
  done
}
got_fleet_modes() {
  [ "$(grep -cE ' set fleet_arm.mode type=string value="m[0-9]+"' "$box/robot$2.params")" -eq "$1" ]
}
db_value() { sql "robot$1" "SELECT value FROM global_config WHERE name = '$2'"; }
db_value_is() { [ "$(db_value "$3" "$1")" = "$2" ]; }
refuses_edit() { ! sql "robot$1" "DELETE FROM global_config" 2>/dev/null; }
fails() { ! "$@" >/dev/null 2>&1; }
# Runs the command, showing its output only when it fails.
quietly() {
  local out
  out=$("$@" 2>&1) || { printf '%s\n' "$out"; return 1; }
}
io_state() {
  in_member "robot$1" mariadb -e 'SHOW SLAVE STATUS\G' | sed -n 's/^ *Slave_IO_Running: //p'
}
io_up() { [ "$(io_state "$1")" = Yes ]; }
io_down() { ! io_up "$1"; }
dump_threads() {
  sql fleet "SELECT COUNT(*) FROM information_schema.processlist WHERE command LIKE 'Binlog Dump%'"
}
dump_threads_are() { [ "$(dump_threads)" -eq "$1" ]; }
# Purges every binary log but the current one; fails while a robot still reads an old one.
purge_old_logs() {
  sql fleet "PURGE BINARY LOGS TO '$(sql fleet "SHOW MASTER STATUS" | cut -f1)'" 2>/dev/null &&
    [ "$(sql fleet "SHOW BINARY LOGS" | wc -l)" -eq 1 ]
}
binlog_pos() { sql fleet "SHOW MASTER STATUS" | cut -f2; }
status_value() { sql fleet "SHOW GLOBAL STATUS LIKE '$1'" | cut -f2; }
fleet_pid() { cat "$(cat "$box/fleet/state")/run/mariadbd.pid"; }
fleet_threads() { find "/proc/$(fleet_pid)/task" -mindepth 1 -maxdepth 1 | wc -l; }
fleet_cpu_ticks() { awk '{print $14 + $15}' "/proc/$(fleet_pid)/stat"; }
millis() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) * 1000 }'; }
# Median and maximum of the numbers on standard input.
stats() { sort -n | awk '{ v[NR] = $1 } END { printf "%s %s\n", v[int((NR + 1) / 2)], v[NR] }'; }
larger() { printf '%s\n%s\n' "$1" "$2" | sort -n | tail -n 1; }

# ---------------------------------------------------------------------------------------------
echo "fleet box: $robots robots in $box"
tls=$box/tls
mkdir -p "$tls"
(
  cd "$tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=velgar fleet box CA" -keyout ca.key -out ca.pem
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -subj "/CN=127.0.0.1" -keyout fleet.key -out fleet.csr
  printf 'subjectAltName = IP:127.0.0.1\n' >fleet.ext
  openssl x509 -req -in fleet.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile fleet.ext -out fleet.pem
  # A CA that did not sign the fleet server's certificate.
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=some other CA" -keyout other.key -out other.pem
) >"$box/openssl.out" 2>&1 || { cat "$box/openssl.out"; exit 1; }
chmod 0600 "$tls"/*.key

start_member fleet
for i in $(seq "$robots"); do start_member "robot$i"; done

in_member fleet "$root/scripts/fleet_server.sh" setup --cert "$tls/fleet.pem" \
  --key "$tls/fleet.key" --cnf "$(conf_of fleet)" --restart-cmd db-restart
threads_before=$(fleet_threads)
for i in $(seq "$robots"); do
  head -c 18 /dev/urandom | base64 | tr '/+' '_-' >"$tls/robot$i.password"
  in_member fleet "$root/scripts/fleet_server.sh" add-robot "robot$i" --from 127.0.0.1 \
    --password-file "$tls/robot$i.password" >/dev/null
done
run_in fleet setsid socat "UNIX-LISTEN:$box/fleet.sock,fork,mode=0600" TCP:127.0.0.1:3306 \
  >>"$box/fleet.relay.out" 2>&1 &
relay_pids[0]=$!
wait_until 10 test -S "$box/fleet.sock"

sql fleet "INSERT INTO global_config (name, value, node_name, config_type) VALUES
  ('speed', 's0', 'fleet_arm', 1), ('mode', 'm0', 'fleet_arm', 1),
  ('limits.yaml', 'limit: 0', '', 2)"

join() {
  local i=$1
  shift
  in_member "robot$i" "$root/scripts/fleet_robot.sh" join --host 127.0.0.1 --port 3307 \
    --user "robot$i" --password-file "$tls/robot$i.password" --server-id $((100 + i)) \
    --cnf "$(conf_of "robot$i")" --connect-retry 1 "$@"
}

# --- join ------------------------------------------------------------------------------------
join_times=()
for i in $(seq "$robots"); do
  start_relay "$i"
  t=$EPOCHREALTIME
  join "$i" --ca "$tls/ca.pem" >"$box/robot$i.join.out" 2>&1 ||
    { echo "robot$i did not join:"; cat "$box/robot$i.join.out"; exit 1; }
  join_times+=("$(millis "$t" "$EPOCHREALTIME")")
  start_target "$i"
  wait_until 30 grep -q ready "$box/robot$i.params" ||
    { echo "robot$i: param_target did not start"; cat "$box/robot$i.params"; exit 1; }
  start_node "$i"
done
read -r j50 jmax < <(printf '%s\n' "${join_times[@]}" | stats)
figure "join command, one robot: median $j50 ms, slowest $jmax ms"
check "every robot's node received the fleet's items at start-up" \
  wait_until 30 all_robots has_param speed s0 "limit: 0"
check "the fleet server has one replication thread per robot" dump_threads_are "$robots"
check "every link is TLS with the fleet server's certificate checked" \
  test "$(for i in $(seq "$robots"); do in_member "robot$i" mariadb -e 'SHOW SLAVE STATUS\G'; done |
    grep -cE 'Master_SSL_(Allowed|Verify_Server_Cert): Yes')" -eq $((2 * robots))
check "  ... and the fleet server accepted that many TLS sessions" \
  test "$(status_value Ssl_accepts)" -ge "$robots"
figure "fleet server threads: $threads_before with no robot, $(fleet_threads) with $robots" \
  "($(dump_threads) binlog dump threads)"

# robot1 overrides mode locally; every later fleet change of mode must leave it alone.
sql robot1 "INSERT INTO custom_config (name, value, node_name, config_type)
  VALUES ('mode', 'local', 'fleet_arm', 1)"
check "robot1's local override takes effect" wait_until 10 param_is 1 mode local
override_line=$(wc -l <"$box/robot1.params")

# --- a robot refuses local edits of global_config -------------------------------------------
if out=$(sql robot2 "UPDATE global_config SET value = 'local' WHERE name = 'speed'" 2>&1); then
  check "robot2 refuses a local edit of global_config" false
else
  check "robot2 refuses a local edit of global_config" grep -q "comes from the fleet" <<<"$out"
fi
check "  ... and leaves global_config as the fleet wrote it" db_value_is speed s0 2
check "robot2 still takes local edits of custom_config" \
  sql robot2 "INSERT INTO custom_config (name, value, node_name, config_type)
    VALUES ('robot2_only.yaml', 'local', '', 2)"
check "  ... and its node writes them" wait_until 10 file_is 2 robot2_only.yaml local

# --- fleet changes reach every robot ----------------------------------------------------------
pos0=$(binlog_pos) sent0=$(status_value Bytes_sent) cpu0=$(fleet_cpu_ticks)
param_ms=() file_ms=() round_ms=() robot_worst=()
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
    param_ms+=("$p")
    file_ms+=("$f")
    worst=$(larger "$p" "$f")
    robot_worst[i]="${robot_worst[i]:-} $worst"
    last=$(larger "$last" "$worst")
  done
  round_ms+=("$last")
done
pos1=$(binlog_pos) sent1=$(status_value Bytes_sent) cpu1=$(fleet_cpu_ticks)
check "all $rounds rounds of fleet changes reached every robot's parameters and files" \
  test "${#round_ms[@]}" -eq "$rounds"
if [ "${#round_ms[@]}" -gt 0 ]; then
  read -r p50 pmax < <(printf '%s\n' "${param_ms[@]}" | stats)
  read -r f50 fmax < <(printf '%s\n' "${file_ms[@]}" | stats)
  read -r r50 rmax < <(printf '%s\n' "${round_ms[@]}" | stats)
  figure "fleet commit to parameter set on a robot: p50 $p50 ms, max $pmax ms" \
    "(${#param_ms[@]} deliveries)"
  figure "fleet commit to file written on a robot: p50 $f50 ms, max $fmax ms" \
    "(${#file_ms[@]} deliveries)"
  figure "fleet commit until the last of $robots robots had both: p50 $r50 ms, max $rmax ms"
  slowest="" slowest_p50=-1
  for i in $(seq "$robots"); do
    # shellcheck disable=SC2086 # one number per word
    m=$(printf '%s\n' ${robot_worst[i]} | stats | cut -d' ' -f1)
    if awk -v a="$m" -v b="$slowest_p50" 'BEGIN { exit !(a > b) }'; then
      slowest=robot$i slowest_p50=$m
    fi
  done
  figure "slowest robot: $slowest, p50 $slowest_p50 ms (parameter and file both done)"
fi
changes=$((3 * rounds))
figure "fleet binary log: $(((pos1 - pos0) / changes)) bytes per item change" \
  "(row images of the item row and of the fleet's own change-log row)"
figure "fleet server sent $(((sent1 - sent0) / changes / robots)) bytes per item change per" \
  "robot (before TLS; includes this script's few queries)"
figure "fleet server CPU: $(((cpu1 - cpu0) * 1000 / $(getconf CLK_TCK))) ms for $changes item" \
  "changes to $robots robots"

check "robot1's override survived every fleet change of mode" \
  test -z "$(tail -n +"$((override_line + 1))" "$box/robot1.params" | grep -F ' set fleet_arm.mode ')"
check "  ... and robot1's change log got no fleet row for mode after the override" \
  test "$(sql robot1 "SELECT COUNT(*) FROM config_table_changes WHERE name = 'mode' AND
    source_table = 'global_config' AND id > (SELECT MAX(id) FROM config_table_changes
    WHERE source_table = 'custom_config' AND name = 'mode')")" -eq 0
check "  ... while the other robots got every fleet value of mode" \
  all_robots_but 1 got_fleet_modes $((rounds + 1))

# --- a robot cut off from the fleet catches up ------------------------------------------------
off=3
stop_relay "$off"
check "robot$off notices its link is down" wait_until 30 io_down "$off"
check "  ... and the fleet server's thread for it ends" wait_until 30 dump_threads_are $((robots - 1))
for c in $(seq "$offline_changes"); do
  sql fleet "UPDATE global_config SET value = 'c$c' WHERE name = 'speed'"
done
sql fleet "UPDATE global_config SET value = 'limit: offline' WHERE name = 'limits.yaml'"
sql "robot$off" "INSERT INTO custom_config (name, value, node_name, config_type)
  VALUES ('offline.yaml', 'made while offline', '', 2)"
check "the connected robots got all $offline_changes changes" \
  wait_until 30 all_robots_but "$off" has_param speed "c$offline_changes" "limit: offline"
check "robot$off, offline, works on: a local change reaches its files" \
  wait_until 10 file_is "$off" offline.yaml "made while offline"
check "robot$off got none of the fleet's changes while offline" param_is "$off" speed "s$rounds"
t=$EPOCHREALTIME
start_relay "$off"
if wait_until 60 has_param speed "c$offline_changes" "limit: offline" "$off"; then
  figure "robot$off caught up on $offline_changes changes $(millis "$t" "$EPOCHREALTIME") ms" \
    "after its link came back (reconnect attempts every 1 s)"
  check "robot$off caught up once its link was back" true
else
  check "robot$off caught up once its link was back" false
fi
expected=$(for c in $(seq "$offline_changes"); do printf 'c%s ' "$c"; done)
got=$(grep -oE " set fleet_arm.speed type=string value=\"c[0-9]+\"" "$box/robot$off.params" |
  sed -E 's/.*"(c[0-9]+)"/\1/' | tr '\n' ' ')
check "  ... its node got the $offline_changes values in order, each once" test "$got" = "$expected"
got=$(sql "robot$off" "SELECT value FROM config_table_changes WHERE name = 'speed' AND
  value LIKE 'c%' ORDER BY id" | tr '\n' ' ')
check "  ... its change log holds them in order, each once" test "$got" = "$expected"

# --- a robot whose database and node restart catches up --------------------------------------
re=4
stop_node "$re"
in_member "robot$re" db-stop
for c in 1 2 3 4 5; do sql fleet "UPDATE global_config SET value = 'r$c' WHERE name = 'speed'"; done
sql fleet "UPDATE global_config SET value = 'limit: restart' WHERE name = 'limits.yaml'"
in_member "robot$re" db-start
start_node "$re"
check "robot$re caught up after its database and node restarted" \
  wait_until 60 has_param speed r5 "limit: restart" "$re"
got=$(sql "robot$re" "SELECT value FROM config_table_changes WHERE name = 'speed' AND
  value LIKE 'r%' ORDER BY id" | tr '\n' ' ')
check "  ... its change log holds the 5 changes in order" test "$got" = "r1 r2 r3 r4 r5 "
check "  ... the filter and triggers on replicated rows came back from the option file" \
  test "$(sql "robot$re" "SELECT @@replicate_do_table, @@slave_run_triggers_for_rbr")" = \
  "$(printf 'ROBOT.global_config\tENFORCE')"
check "  ... and it still refuses local edits of global_config" refuses_edit "$re"

# --- join again, leave, join with a wrong CA, join again -------------------------------------
lv=5
check "joining again is harmless" quietly join "$lv" --ca "$tls/ca.pem"
sql fleet "UPDATE global_config SET value = 'after rejoin' WHERE name = 'speed'"
check "  ... changes still arrive" wait_until 30 all_robots has_param speed "after rejoin" \
  "limit: restart"
check "  ... exactly once" test "$(grep -cF 'value="after rejoin"' "$box/robot$lv.params")" -eq 1
check "robot$lv leaves the fleet" quietly in_member "robot$lv" "$root/scripts/fleet_robot.sh" leave \
  --cnf "$(conf_of "robot$lv")"
check "  ... its option file is gone" test ! -e "$(conf_of "robot$lv")"
check "  ... its global_config is its own again" \
  sql "robot$lv" "UPDATE global_config SET value = 'own' WHERE name = 'speed'"
check "  ... and its node follows the local edit" wait_until 10 param_is "$lv" speed own
sql fleet "UPDATE global_config SET value = 'while away' WHERE name = 'speed'"
check "a robot with rows of its own does not join without --discard-local-global" \
  fails join "$lv" --ca "$tls/ca.pem"
check "  ... and keeps them" db_value_is speed own "$lv"
if join "$lv" --ca "$tls/other.pem" --wait 5 --discard-local-global >"$box/wrong_ca.out" 2>&1; then
  check "a fleet server whose certificate the CA did not sign is refused" false
else
  check "a fleet server whose certificate the CA did not sign is refused" \
    grep -qE 'link error:.*(SSL|TLS|certificate)' "$box/wrong_ca.out"
  grep 'link error' "$box/wrong_ca.out" | sed 's/^/  /'
fi
check "  ... and nothing arrived over that link" \
  test "$(sql "robot$lv" "SELECT COUNT(*) FROM global_config")" -eq 0
check "joining with --discard-local-global brings back the fleet's rows" \
  quietly join "$lv" --ca "$tls/ca.pem" --discard-local-global
check "  ... and the fleet's current values reach the node" \
  wait_until 30 has_param speed "while away" "limit: restart" "$lv"

# --- the fleet server purges its old logs; a robot joins with a snapshot ---------------------
sql fleet "FLUSH BINARY LOGS"
check "the fleet server purges its old binary logs" wait_until 30 purge_old_logs
quietly in_member "robot$lv" "$root/scripts/fleet_robot.sh" leave --cnf "$(conf_of "robot$lv")"
sql "robot$lv" "UPDATE global_config SET value = 'own again' WHERE name = 'speed'"
sql fleet "UPDATE global_config SET value = 'after purge' WHERE name = 'speed'"
in_member fleet "$root/scripts/fleet_server.sh" snapshot >"$box/snapshot.sql"
seen=$(sql "robot$lv" "SELECT MAX(id) FROM config_table_changes")
check "a robot joins with a snapshot of the fleet server" \
  quietly join "$lv" --ca "$tls/ca.pem" --snapshot "$box/snapshot.sql"
check "  ... its node gets the fleet's values" \
  wait_until 30 has_param speed "after purge" "limit: restart" "$lv"
check "  ... and only the row that differed reached its change log" \
  test "$(sql "robot$lv" "SELECT GROUP_CONCAT(CONCAT(name, '=', value) ORDER BY id)
    FROM config_table_changes WHERE id > $seen")" = "speed=after purge"
sql fleet "UPDATE global_config SET value = 'after snapshot' WHERE name = 'speed'"
check "  ... and it follows the fleet from the snapshot on, as every robot does" \
  wait_until 30 all_robots has_param speed "after snapshot" "limit: restart"

check "every robot's global_config ends as the fleet's" all_robots db_value_is speed "after snapshot"
check "  ... with replication running on every robot" all_robots io_up
check "robot1's override of mode is still in effect" param_is 1 mode local

if [ -n "$report" ]; then printf '%s\n' "${figures[@]}" >"$report"; fi
echo
echo "fleet box: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
