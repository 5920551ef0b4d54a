#!/usr/bin/env bash
# fleet_robot.sh: joins this robot's MariaDB to a fleet, or takes it out. Run as root on
# the robot.
#
#   fleet_robot.sh join --host HOST [--port 3306] --user NAME --password-file FILE
#                       --ca CA.pem [--server-id N] [--cnf PATH] [--connect-retry S]
#                       [--wait S] [--restart-cmd CMD] [--snapshot FILE | --discard-local-global]
#       The robot's server replicates ROBOT.global_config from HOST (the fleet server or a
#       relay) over TLS (HOST's certificate must be signed by CA.pem and name HOST), and
#       runs its own triggers on the replicated rows, so fleet changes reach the change log
#       that config_center follows. custom_config and the change log stay local.
#       Nothing changes here until HOST has accepted the link (TLS, account, server id) and
#       replication has fetched from the position it will use; a join that fails at any
#       step, or does not connect within --wait seconds (default 20), gives back the
#       settings, position and rows it found, and says what failed. Safe to run again (a
#       new password or address, or another relay: replication resumes where it stopped).
#       The server id is the one `fleet_server.sh add-robot` handed out for NAME; --server-id
#       overrides it, but one that HOST or another robot uses is refused. The first join
#       restarts the server once (--restart-cmd, default `systemctl restart mariadb`) to
#       turn on its binary log with log_slave_updates, so the fleet's changes reach it too.
#   fleet_robot.sh leave [--cnf PATH]
#       Stops replication and forgets the fleet server and the position in its log;
#       global_config keeps the rows it has and is this robot's own again.
#   fleet_robot.sh status
#
# --cnf (default /etc/mysql/mariadb.conf.d/60-velgar-fleet.cnf) is the server option file
# that keeps the settings across restarts; the CA is copied beside it. A robot whose
# global_config holds rows of its own (also after edits made between a leave and a new
# join) joins only with one of:
#   --snapshot FILE          made by `fleet_server.sh snapshot` (a data file, checked for form
#                            and size first): global_config becomes the fleet's as of the
#                            snapshot in one transaction, and only items whose value differs
#                            reach the change log; replication goes on from the snapshot's
#                            position (needed once the fleet server has purged old logs)
#   --discard-local-global   global_config becomes empty in one transaction (config_center
#                            withdraws its items), and the fleet's rows come from the start
#                            of the fleet's binary log
# While it follows a fleet, the robot's server checks every second whether global_config was
# replaced without row events (a TRUNCATE, or DROP and CREATE, on the fleet server); then it
# empties its change log, and config_center distributes the tables again.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/fleet_lib.sh
. "$root/scripts/fleet_lib.sh"
# shellcheck source=scripts/fleet_follow_lib.sh
. "$root/scripts/fleet_follow_lib.sh"

fleet_command "$@"
host="" port=3306 user="" password_file="" ca="" server_id="" connect_retry=10 wait=20
snapshot="" discard_local_global=0
cnf=/etc/mysql/mariadb.conf.d/60-velgar-fleet.cnf
restart_cmd="systemctl restart mariadb"
fleet_parse_options "host port user password-file ca server-id cnf connect-retry wait
  restart-cmd snapshot discard-local-global!" "${fleet_args[@]}"

follow_rows_logged=1
follow_role_options() {
  cat <<'EOF'
# The fleet's rows run this robot's own triggers, so they reach the change log that
# config_center follows (YES would skip rows whose fleet server already ran triggers).
slave_run_triggers_for_rbr = ENFORCE
# The robot's binary log tells config_center of changes as they happen; it needs only recent
# events (the change log is the record).
binlog_expire_logs_seconds = 259200
max_binlog_size = 32M
# Runs the check for a global_config replaced without row events.
event_scheduler = ON
EOF
}
follow_role_settings() {
  echo "SET GLOBAL slave_run_triggers_for_rbr = 'ENFORCE'; SET GLOBAL event_scheduler = ON;"
}
follow_needs_restart() { false; }

# A TRUNCATE, or DROP and CREATE, of global_config on the fleet server reaches the robot as a
# statement, which fires no trigger, so the change log would never hear of the items it
# removed. InnoDB gives the new table a new id: an event compares it every second with the
# one seen last and, when it changed, empties the change log. config_center takes a change
# log that went back as its cue to distribute the tables again and withdraw what is gone.
follow_joined() {
  mariadb <<'SQL'
SET SESSION sql_log_bin = 0;
CREATE DATABASE IF NOT EXISTS velgar_fleet;
CREATE TABLE IF NOT EXISTS velgar_fleet.global_config_seen (
  one TINYINT NOT NULL PRIMARY KEY, table_id BIGINT UNSIGNED NULL) ENGINE=InnoDB;
REPLACE INTO velgar_fleet.global_config_seen SELECT 1, TABLE_ID
  FROM information_schema.INNODB_SYS_TABLES WHERE NAME = 'ROBOT/global_config';
DELIMITER //
CREATE OR REPLACE EVENT velgar_fleet.resync_when_global_config_replaced
  ON SCHEDULE EVERY 1 SECOND
  DO BEGIN
    DECLARE now_id BIGINT UNSIGNED DEFAULT (SELECT TABLE_ID
      FROM information_schema.INNODB_SYS_TABLES WHERE NAME = 'ROBOT/global_config');
    IF now_id IS NOT NULL
       AND NOT now_id <=> (SELECT table_id FROM velgar_fleet.global_config_seen) THEN
      TRUNCATE TABLE ROBOT.config_table_changes;
      UPDATE velgar_fleet.global_config_seen SET table_id = now_id;
    END IF;
  END//
DELIMITER ;
SQL
}

case $cmd in
  join) follow_join ;;
  leave)
    follow_leave
    fleet_sql_local "DROP EVENT IF EXISTS velgar_fleet.resync_when_global_config_replaced"
    echo "left the fleet; global_config keeps its $(fleet_sql \
      'SELECT COUNT(*) FROM ROBOT.global_config') rows and is this robot's own again"
    ;;
  status) follow_status ;;
  *) fleet_usage ;;
esac
