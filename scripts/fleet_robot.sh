#!/usr/bin/env bash
# fleet_robot.sh: joins this robot's MariaDB to a fleet, or takes it out. Run as root on
# the robot.
#
#   fleet_robot.sh join --host HOST [--port 3306] --user NAME --password-file FILE
#                       --ca CA.pem [--server-id N] [--cnf PATH] [--connect-retry S]
#                       [--wait S] [--snapshot FILE | --discard-local-global]
#       The robot's server replicates ROBOT.global_config from the fleet server HOST over
#       TLS (the fleet server's certificate must be signed by CA.pem and name HOST), and
#       runs its own triggers on the replicated rows, so fleet changes reach the change log
#       that config_center follows. custom_config and the change log stay local. Safe to run
#       again (for example with a new password or address); replication resumes where it
#       stopped. Exits 0 once connected, 1 when not connected within --wait seconds
#       (default 20; replication stays configured and keeps retrying).
#   fleet_robot.sh leave [--cnf PATH]
#       Stops replication and forgets the fleet server and the position in its log;
#       global_config keeps the rows it has and is this robot's own again.
#   fleet_robot.sh status
#
# --cnf (default /etc/mysql/mariadb.conf.d/60-velgar-fleet.cnf) is the server option file
# that keeps the settings across restarts; the CA is copied beside it. --server-id must be
# unique in the fleet (default: derived from /etc/machine-id). A robot whose global_config
# holds rows of its own (also after edits made between a leave and a new join) joins only
# with one of:
#   --snapshot FILE          made on the fleet server by `fleet_server.sh snapshot`: makes
#                            global_config the fleet's as of the snapshot, touching only the
#                            rows that differ, and replicates from the snapshot's position
#                            on (needed once the fleet server has purged old binary logs)
#   --discard-local-global   empties global_config and takes the fleet's rows from the
#                            start of the fleet's binary log
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/fleet_lib.sh
. "$root/scripts/fleet_lib.sh"

usage() {
  sed -n '2,/^set -euo/s/^# \{0,1\}//p' "$0" >&2
  exit 2
}

cmd=${1:-}
[ -n "$cmd" ] || usage
shift

host="" port=3306 user="" password_file="" ca="" server_id="" connect_retry=10 wait=20
discard=0 snapshot=""
cnf=/etc/mysql/mariadb.conf.d/60-velgar-fleet.cnf
while [ $# -gt 0 ]; do
  case $1 in
    --host) host=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --user) user=$2; shift 2 ;;
    --password-file) password_file=$2; shift 2 ;;
    --ca) ca=$2; shift 2 ;;
    --server-id) server_id=$2; shift 2 ;;
    --cnf) cnf=$2; shift 2 ;;
    --connect-retry) connect_retry=$2; shift 2 ;;
    --wait) wait=$2; shift 2 ;;
    --discard-local-global) discard=1; shift ;;
    --snapshot) snapshot=$2; shift 2 ;;
    *) usage ;;
  esac
done
ca_copy="$(dirname "$cnf")/velgar-fleet-ca.pem"

status() {
  local io sql
  io=$(fleet_slave_field Slave_IO_Running)
  if [ -z "$io" ]; then
    echo "not in a fleet"
    return
  fi
  sql=$(fleet_slave_field Slave_SQL_Running)
  echo "fleet server $(fleet_slave_field Master_Host):$(fleet_slave_field Master_Port)," \
    "link $io, applying $sql, position $(fleet_slave_field Gtid_IO_Pos)," \
    "behind $(fleet_slave_field Seconds_Behind_Master) s"
  local e
  e=$(fleet_slave_field Last_IO_Error)
  [ -z "$e" ] || echo "link error: $e"
  e=$(fleet_slave_field Last_SQL_Error)
  [ -z "$e" ] || echo "apply error: $e"
}

# Makes global_config the fleet's as of the snapshot and sets the replication position to
# the snapshot's. Rows that already match are left alone, so the node sees only real changes.
load_snapshot() {
  [ "$discard" -eq 0 ] || fleet_die "--snapshot and --discard-local-global exclude each other"
  [ -r "$snapshot" ] || fleet_die "cannot read $snapshot"
  local pos cols same
  pos=$(sed -n "s/^-- SET GLOBAL gtid_slave_pos='\([0-9,-]*\)';\$/\1/p" "$snapshot")
  [ -n "$pos" ] || fleet_die "$snapshot is not a snapshot from fleet_server.sh snapshot"
  cols="name value node_name config_type deleted created_at updated_at"
  same=$(for c in $cols; do printf 'g.%s <=> s.%s AND ' "$c" "$c"; done)
  {
    echo "USE ROBOT;"
    echo "SET GLOBAL replicate_do_table = '';"
    echo "CREATE TEMPORARY TABLE fleet_snapshot LIKE global_config;"
    # shellcheck disable=SC2016 # backquotes of SQL names, not shell
    sed 's/^INSERT INTO `global_config` /INSERT INTO `fleet_snapshot` /' "$snapshot"
    echo "DELETE g FROM global_config g LEFT JOIN fleet_snapshot s ON s.id = g.id
            WHERE s.id IS NULL;"
    echo "UPDATE global_config g JOIN fleet_snapshot s ON s.id = g.id
            SET $(for c in $cols; do printf 'g.%s = s.%s, ' "$c" "$c"; done | sed 's/, $//')
            WHERE NOT (${same% AND });"
    echo "INSERT INTO global_config SELECT s.* FROM fleet_snapshot s
            LEFT JOIN global_config g ON g.id = s.id WHERE g.id IS NULL;"
    echo "SET GLOBAL gtid_slave_pos = '$pos';"
  } | mariadb
  echo "global_config is the fleet's as of $pos ($(fleet_sql \
    'SELECT COUNT(*) FROM ROBOT.global_config') rows)"
}

join() {
  if [ -z "$host" ] || [ -z "$user" ] || [ -z "$password_file" ] || [ -z "$ca" ]; then
    fleet_die "join needs --host, --user, --password-file and --ca"
  fi
  [[ $host =~ ^[A-Za-z0-9_.:-]{1,255}$ ]] || fleet_die "--host: a host name or address"
  [[ $port =~ ^[0-9]{1,5}$ ]] || fleet_die "--port: a number"
  [[ $connect_retry =~ ^[1-9][0-9]*$ ]] || fleet_die "--connect-retry: seconds, at least 1"
  [[ $wait =~ ^[0-9]+$ ]] || fleet_die "--wait: seconds"
  openssl x509 -in "$ca" -noout 2>/dev/null || fleet_die "--ca: not a PEM certificate: $ca"
  if [ -z "$server_id" ]; then
    # 2 .. 2^32-1: 1 is the fleet server's default.
    server_id=$(($(cksum </etc/machine-id | cut -d' ' -f1) % 4294967294 + 2))
  fi
  if ! [[ $server_id =~ ^[1-9][0-9]{0,9}$ ]] || [ "$server_id" -gt 4294967295 ]; then
    fleet_die "--server-id: 1 .. 4294967295"
  fi
  local password
  password=$(fleet_read_secret "$password_file")

  fleet_sql "STOP SLAVE" 2>/dev/null || true
  local rows position
  rows=$(fleet_sql "SELECT COUNT(*) FROM ROBOT.global_config")
  position=$(fleet_sql "SELECT @@global.gtid_slave_pos")
  if [ -n "$snapshot" ]; then
    load_snapshot
  elif [ "$discard" -eq 1 ]; then
    # The filter is what makes global_config read-only here; lift it for the clean-up. The
    # fleet's rows then come again from the start of its binary log.
    fleet_sql "SET GLOBAL replicate_do_table = ''; DELETE FROM ROBOT.global_config;
      SET GLOBAL gtid_slave_pos = '';"
    echo "emptied global_config ($rows rows) for the fleet's rows"
  elif [ "$rows" -gt 0 ] && [ -z "$position" ]; then
    fleet_die "global_config holds $rows rows of this robot's own; the fleet's replace them" \
      "only with --discard-local-global (custom_config is kept either way)"
  fi

  install -m 0644 "$ca" "$ca_copy.tmp"
  mv -f "$ca_copy.tmp" "$ca_copy"
  fleet_write_cnf "$cnf" <<EOF
# Written by fleet_robot.sh join: this robot's server replicates ROBOT.global_config from
# the fleet server and runs its own triggers on the replicated rows (the fleet server's
# triggers wrote the fleet's change log, not this one). The fleet server's address and
# account are kept by the server itself (CHANGE MASTER); leave with fleet_robot.sh leave.
[mariadbd]
server_id = $server_id
replicate_do_table = ROBOT.global_config
slave_run_triggers_for_rbr = ENFORCE
# A link that dies silently is noticed within this many seconds, and a robot offline for
# however long keeps trying to reconnect (0: no limit; read when the server starts).
slave_net_timeout = 20
master_retry_count = 0
EOF
  # The same settings for the running server, so no restart is needed.
  fleet_sql "SET GLOBAL server_id = $server_id;
    SET GLOBAL replicate_do_table = 'ROBOT.global_config';
    SET GLOBAL slave_run_triggers_for_rbr = 'ENFORCE';
    SET GLOBAL slave_net_timeout = 20;
    CHANGE MASTER TO MASTER_HOST = $(fleet_sql_quote "$host"), MASTER_PORT = $port,
      MASTER_USER = $(fleet_sql_quote "$user"), MASTER_PASSWORD = $(fleet_sql_quote "$password"),
      MASTER_USE_GTID = slave_pos, MASTER_CONNECT_RETRY = $connect_retry,
      MASTER_HEARTBEAT_PERIOD = 5,
      MASTER_SSL = 1, MASTER_SSL_CA = $(fleet_sql_quote "$ca_copy"),
      MASTER_SSL_VERIFY_SERVER_CERT = 1;
    START SLAVE;"

  local deadline=$((SECONDS + wait))
  while :; do
    if [ "$(fleet_slave_field Slave_IO_Running)" = Yes ] &&
      [ "$(fleet_slave_field Slave_SQL_Running)" = Yes ]; then
      echo "joined the fleet at $host:$port as server $server_id"
      status
      return 0
    fi
    [ "$SECONDS" -lt "$deadline" ] || break
    sleep 0.2
  done
  echo "configured, but not connected to $host:$port yet (replication keeps retrying):" >&2
  status >&2
  return 1
}

leave() {
  # The position goes too: rows edited here from now on are no longer the fleet's, so a
  # later join starts over (--discard-local-global) instead of resuming on top of them.
  fleet_sql "STOP SLAVE; RESET SLAVE ALL; SET GLOBAL replicate_do_table = '';
    SET GLOBAL gtid_slave_pos = '';"
  rm -f "$cnf" "$ca_copy"
  echo "left the fleet; global_config keeps its $(fleet_sql \
    'SELECT COUNT(*) FROM ROBOT.global_config') rows and is this robot's own again"
}

case $cmd in
  join) join ;;
  leave) leave ;;
  status) status ;;
  *) usage ;;
esac
