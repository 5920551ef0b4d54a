# shellcheck shell=bash
# Serving global_config's binary log to the servers that follow it: what the fleet server and
# a relay have in common (sourced by fleet_server.sh and fleet_relay.sh after fleet_lib.sh).
# shellcheck disable=SC2154 # fleet_scratch_dir is fleet_lib.sh's

# Option lines of a server that serves its binary log over TLS only: $1 certificate, $2 key,
# $3 the address to listen on (empty: the server's default). Its log is kept until purged by
# hand: a follower can catch up from as far back as the oldest log kept.
serve_options() {
  cat <<EOF
expire_logs_days = 0
ssl_cert = $(readlink -f "$1")
ssl_key = $(readlink -f "$2")
require_secure_transport = ON
${3:+bind_address = $3}
EOF
}

serve_check_tls_files() {
  if [ ! -r "$1" ] || [ ! -r "$2" ]; then
    fleet_die "needs --cert and --key (readable PEM files)"
  fi
  fleet_require "$3" '^[A-Za-z0-9_.:*-]{0,255}$' "--bind: an address"
}

# The schema, and the fleet's own bookkeeping beside it, none of it in the binary log:
# - velgar_fleet.robots: the server id handed out to each robot (or relay) following this
#   server, and a view through which each of them reads the ids in use and its own;
# - a foreign key onto global_config, so that TRUNCATE and DROP TABLE of it are refused:
#   they would reach the followers without row events, so no trigger there would log them.
serve_prepare() {
  local root=$1
  { echo "SET SESSION sql_log_bin = 0;"; cat "$root/config_center/db/schema.sql"; } | mariadb
  fleet_sql_local "CREATE DATABASE IF NOT EXISTS velgar_fleet;
    CREATE TABLE IF NOT EXISTS velgar_fleet.robots (
      name VARCHAR(80) CHARACTER SET ascii COLLATE ascii_bin NOT NULL PRIMARY KEY,
      server_id INT UNSIGNED NOT NULL UNIQUE,
      added_at TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP) ENGINE=InnoDB;
    CREATE OR REPLACE SQL SECURITY DEFINER VIEW velgar_fleet.server_ids AS
      SELECT server_id, CAST(name AS BINARY) = CAST(SUBSTRING_INDEX(USER(), '@', 1) AS BINARY)
        AS mine FROM velgar_fleet.robots;
    CREATE TABLE IF NOT EXISTS velgar_fleet.no_truncate_of_global_config (
      id BIGINT NOT NULL,
      CONSTRAINT robots_miss_a_truncate_use_fleet_server_sh_clear_global
        FOREIGN KEY (id) REFERENCES ROBOT.global_config (id)) ENGINE=InnoDB;"
}

serve_account() {
  fleet_require "$1" '^[A-Za-z0-9_.-]{1,80}$' "robot name: letters, digits, _ . - only"
  fleet_require "$2" '^[A-Za-z0-9_.%:-]{1,255}$' "--from: a host name, address or pattern"
  printf '%s@%s' "$(fleet_sql_quote "$1")" "$(fleet_sql_quote "$2")"
}

# Creates or updates the replication account $1@$2 (password file $3) and hands the robot a
# server id of its own: this server's id times 1000 plus a count, so that the ids handed
# out by the fleet server and by each relay never meet (while they fit in 32 bits).
serve_add_robot() {
  local name=$1 from=$2 password who id
  who=$(serve_account "$name" "$from")
  password=$(fleet_read_secret "$3")
  fleet_sql_local "CREATE USER IF NOT EXISTS $who IDENTIFIED BY $(fleet_sql_quote "$password") REQUIRE SSL;
    ALTER USER $who IDENTIFIED BY $(fleet_sql_quote "$password") REQUIRE SSL;
    GRANT REPLICATION SLAVE ON *.* TO $who;
    GRANT SELECT ON velgar_fleet.server_ids TO $who;
    INSERT IGNORE INTO velgar_fleet.robots (name, server_id)
      SELECT $(fleet_sql_quote "$name"), GREATEST(COALESCE(MAX(server_id), 0),
        IF(@@server_id < 4294000, @@server_id * 1000, 100000)) + 1
      FROM velgar_fleet.robots;"
  id=$(fleet_sql "SELECT server_id FROM velgar_fleet.robots WHERE name = $(fleet_sql_quote "$name")")
  echo "replication account $name@$from ready (REPLICATION SLAVE, TLS required), server id $id"
}

# Drops the account; the robot's server id goes with its last account.
serve_remove_robot() {
  local name=$1 from=$2 who
  who=$(serve_account "$name" "$from")
  fleet_sql_local "DROP USER IF EXISTS $who;
    DELETE FROM velgar_fleet.robots WHERE name = $(fleet_sql_quote "$name")
      AND NOT EXISTS (SELECT 1 FROM mysql.user WHERE user = $(fleet_sql_quote "$name"));"
  echo "replication account $name@$from removed"
}

# Lines of this server's error log from the last ten minutes (the journal when the server
# logs there instead of to a file).
serve_recent_log() {
  local file since
  file=$(fleet_sql "SELECT IF(@@log_error LIKE '/%', @@log_error,
    IF(@@log_error = '', '', CONCAT(@@datadir, @@log_error)))")
  if [ -n "$file" ] && [ -r "$file" ]; then
    since=$(date -d '-10 min' '+%Y-%m-%d %H:%M:%S')
    awk -v since="$since" '($1 " " $2) >= since' "$file"
  elif command -v journalctl >/dev/null; then
    journalctl -q -u mariadb --since '-10 min' -o cat 2>/dev/null || true
  fi
}

# Followers that use a server id handed out to another, or whose connection was started again
# and again in the last ten minutes. Of two servers with one server id, MariaDB keeps one
# connection and ends the other server's replication, which then stops without an error:
# the first is seen registered under the other's name (joins set report_host to the
# account's name), and their two connections start within moments of each other.
serve_replaced_links() {
  local id host count gap who
  while read -r id host; do
    who=$(fleet_sql "SELECT name FROM velgar_fleet.robots WHERE server_id = $id")
    if [ -n "$who" ] && [ "$host" != "$who" ] && [ -n "$(fleet_sql "SELECT name
      FROM velgar_fleet.robots WHERE name = $(fleet_sql_quote "$host")")" ]; then
      echo "  server id $id (handed out to $who): $host connects with it; the server it" \
        "pushed off stopped replicating"
    fi
  done < <(mariadb --batch --skip-column-names -e 'SHOW SLAVE HOSTS' | cut -f1,2)
  while read -r id count gap; do
    who=$(fleet_sql "SELECT name FROM velgar_fleet.robots WHERE server_id = $id")
    echo "  server id $id (handed out to ${who:-no one here}): $count connections in 10 min," \
      "the closest $gap s apart: two servers use this id (one of them stops replicating)," \
      "or its link keeps dropping"
  done < <(serve_dump_starts | sort -k1,1n -k2,2n | awk '
    $1 == id { gap = $2 - at; if (!($1 in closest) || gap < closest[$1]) closest[$1] = gap }
    { n[$1]++; id = $1; at = $2 }
    END { for (i in n) if (n[i] >= 5 || (i in closest && closest[i] <= 2)) print i, n[i], closest[i] }')
}
# Server id and epoch second of each replication connection started in the last ten minutes.
serve_dump_starts() {
  local id day time
  serve_recent_log |
    sed -n 's/^\([0-9-]* [0-9:]*\) .*Start binlog_dump to slave_server(\([0-9]*\)).*/\2 \1/p' |
    while read -r id day time; do echo "$id $(date -d "$day $time" +%s)"; done
}

serve_status() {
  fleet_sql "SELECT CONCAT('binary log ', @@log_bin_basename, ', position ', @@gtid_binlog_pos)"
  echo "connected:"
  fleet_sql "SELECT CONCAT('  ', user, ' from ', host, ', for ', time, ' s')
    FROM information_schema.processlist WHERE command LIKE 'Binlog Dump%' ORDER BY user" |
    serve_or_none
  echo "not connected:"
  fleet_sql "SELECT CONCAT('  ', name, ' (server id ', server_id, ')') FROM velgar_fleet.robots
    WHERE name NOT IN (SELECT user FROM information_schema.processlist
                       WHERE command LIKE 'Binlog Dump%') ORDER BY name" | serve_or_none
  echo "server ids in use twice, or connections started again and again:"
  serve_replaced_links | serve_or_none
}
serve_or_none() { grep . || echo "  none"; }

# global_config as of one moment, with that moment's position in the binary log, as data (see
# fleet_robot.sh): one row a line, text fields in hex, \N for NULL, times in epoch seconds.
serve_snapshot() {
  fleet_scratch
  local out=$fleet_scratch_dir/snapshot
  # shellcheck disable=SC2016 # backquotes of SQL names, not shell
  if ! mariadb --batch --skip-column-names --raw --max-allowed-packet=1G >"$out" <<'SQL'; then
SET SESSION time_zone = '+00:00';
SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ;
START TRANSACTION WITH CONSISTENT SNAPSHOT;
SELECT 'velgar-fleet-snapshot 1';
SELECT CONCAT('position ', BINLOG_GTID_POS(f.VARIABLE_VALUE, p.VARIABLE_VALUE))
  FROM information_schema.SESSION_STATUS f JOIN information_schema.SESSION_STATUS p
  WHERE f.VARIABLE_NAME = 'BINLOG_SNAPSHOT_FILE' AND p.VARIABLE_NAME = 'BINLOG_SNAPSHOT_POSITION';
SELECT id, HEX(name), IF(value IS NULL, '\\N', HEX(value)),
       IF(node_name IS NULL, '\\N', HEX(node_name)), IFNULL(config_type, '\\N'), deleted,
       UNIX_TIMESTAMP(created_at), UNIX_TIMESTAMP(updated_at)
  FROM ROBOT.global_config ORDER BY id;
SELECT CONCAT('end ', COUNT(*)) FROM ROBOT.global_config;
COMMIT;
SQL
    fleet_die "could not read global_config and its position"
  fi
  # A value too large for the server's max_allowed_packet in hex would come out as NULL.
  if grep -q -P '\tNULL(\t|$)' "$out"; then
    fleet_die "an item is too large to export in hex: raise the server's max_allowed_packet"
  fi
  cat "$out"
}
