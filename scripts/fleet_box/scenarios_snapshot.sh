# shellcheck shell=bash
# The fleet server purges its old logs; a robot joins from a snapshot (sourced by
# fleet_box.sh).
# shellcheck disable=SC2154,SC2034 # fleet_box.sh's variables, and ones the other parts read

# Purges every binary log but the current one; fails while a robot still reads an old one.
purge_old_logs() {
  sql fleet "PURGE BINARY LOGS TO '$(sql fleet "SHOW MASTER STATUS" | cut -f1)'" 2>/dev/null &&
    [ "$(sql fleet "SHOW BINARY LOGS" | wc -l)" -eq 1 ]
}
rows_of() {
  sql "$1" "SELECT GROUP_CONCAT(id, ':', name, '=', IFNULL(value, 'NULL') ORDER BY id)
    FROM global_config"
}

scenario_snapshot() {
  section "the fleet server purges its old logs; a robot joins from a snapshot"
  local r=5 top seen before
  sql fleet "FLUSH BINARY LOGS"
  check "the fleet server purges its old binary logs" wait_until 30 purge_old_logs
  quietly leave "$r"
  # The same items under new ids, one of them changed, and one of the robot's own: joining
  # from a snapshot must set the changed one, withdraw its own, and nothing else.
  top=$(sql "robot$r" "SELECT MAX(id) FROM global_config")
  sql "robot$r" "INSERT INTO global_config (name, value, node_name, config_type)
      SELECT name, value, node_name, config_type FROM global_config ORDER BY id;
    DELETE FROM global_config WHERE id <= $top;
    UPDATE global_config SET value = 'own again' WHERE name = 'speed';
    INSERT INTO global_config (name, value, node_name, config_type)
      VALUES ('extra.yaml', 'own', '', 2)"
  check "robot$r's node writes its own file" wait_until 10 file_is "$r" extra.yaml own
  sql fleet "UPDATE global_config SET value = 'after purge' WHERE name = 'speed'"
  before=$(rows_of "robot$r")
  check "joining from the start of the fleet's log is refused once that is purged" \
    refused join "$r" --discard-local-global --wait 5
  check "  ... saying to join with a snapshot" says "join with --snapshot"
  check "  ... and robot$r's rows are as they were" test "$(rows_of "robot$r")" = "$before"
  fleet_server snapshot >"$box/snapshot.txt"
  snapshots_refused "$r"
  snapshot_cut_half_way "$r"
  seen=$(max_change "$r")
  check "a robot joins with a snapshot of the fleet server" \
    quietly join "$r" --snapshot "$box/snapshot.txt"
  check "  ... only the items that differ reach its change log, though every id differed" \
    test "$(changes_since "$r" "$seen")" = "extra.yaml deleted, speed=after purge"
  check "  ... its node gets the fleet's values" \
    wait_until 30 has_param speed "after purge" "limit: restart" "$r"
  check "  ... and removes the file of its own" wait_until 10 no_file "$r" extra.yaml
  check "  ... its rows are the fleet's, ids included" test "$(rows_of "robot$r")" = "$(rows_of fleet)"
  check "a rejoin that fails once replication was pointed anew gives the old link back" \
    refused join "$r" --discard-local-global --wait 5
  check "  ... which still runs, with the password the server had kept" \
    wait_until 10 following "robot$r" 3307
  sql fleet "UPDATE global_config SET value = 'after snapshot' WHERE name = 'speed'"
  check "  ... and it follows the fleet from the snapshot on, as every robot does" \
    wait_until 30 all_robots has_param speed "after snapshot" "limit: restart"
}

# Files that are not a whole snapshot are refused before anything changes.
snapshots_refused() {
  local r=$1 before
  before=$(rows_of "robot$r")
  head -n 3 "$box/snapshot.txt" >"$box/short.txt"
  check "a snapshot cut short is refused" refused join "$r" --snapshot "$box/short.txt"
  check "  ... saying so" says "not a usable snapshot .*cut short"
  { head -n 2 "$box/snapshot.txt"; echo "DELETE FROM global_config;"; tail -n 1 "$box/snapshot.txt"; } \
    >"$box/sql.txt"
  check "a snapshot with a line of SQL in it is refused" refused join "$r" --snapshot "$box/sql.txt"
  check "  ... saying which line" says "line 3: not 8 fields"
  truncate -s 1100M "$box/huge.txt"
  check "a snapshot over 1 GiB is refused" refused join "$r" --snapshot "$box/huge.txt"
  rm -f "$box/huge.txt"
  check "  ... and robot$r's rows are as they were" test "$(rows_of "robot$r")" = "$before"
}

# The session holding a row lock for the cut below, and a transaction waiting for a lock.
locker_session() {
  sql "$1" "SELECT id FROM information_schema.processlist WHERE info LIKE '%fleet_box_locker%'
    AND info NOT LIKE '%processlist%'"
}
has_locker_session() { [ -n "$(locker_session "$1")" ]; }
lock_waiter() {
  [ -n "$(sql "$1" "SELECT trx_mysql_thread_id FROM information_schema.INNODB_TRX
    WHERE trx_state = 'LOCK WAIT'")" ]
}

# A snapshot join cut off half-way: its session dies while its transaction waits for a row
# that another session holds (its rows of its own already deleted inside it).
snapshot_cut_half_way() {
  local r=$1 before seen joiner status=0
  before=$(rows_of "robot$r") seen=$(max_change "$r")
  run_in "robot$r" mariadb ROBOT -e "START TRANSACTION;
    SELECT id FROM global_config WHERE name = 'speed' FOR UPDATE;
    SELECT SLEEP(60) AS fleet_box_locker" >/dev/null 2>&1 &
  wait_until 10 has_locker_session "robot$r"
  join "$r" --snapshot "$box/snapshot.txt" >"$box/cut.out" 2>&1 &
  joiner=$!
  if wait_until 30 lock_waiter "robot$r"; then
    sql "robot$r" "KILL $(sql "robot$r" "SELECT trx_mysql_thread_id FROM information_schema.INNODB_TRX
      WHERE trx_state = 'LOCK WAIT'")"
  fi
  wait "$joiner" || status=$?
  sql "robot$r" "KILL $(locker_session "robot$r")"
  refusal=$(cat "$box/cut.out")
  check "a snapshot join cut half-way fails" test "$status" -ne 0
  check "  ... saying global_config was left as it was" says "global_config was left as it was"
  check "  ... and robot$r's rows are as they were" test "$(rows_of "robot$r")" = "$before"
  check "  ... its change log got nothing" test "$(max_change "$r")" = "$seen"
  check "  ... and it follows nothing, as before" \
    test -z "$(slave_field "robot$r" Slave_IO_Running)"
}
