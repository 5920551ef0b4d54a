#!/usr/bin/env bash
# fleet_server.sh: the fleet server, the one MariaDB from which every robot's server
# replicates ROBOT.global_config. Run as root on the fleet server.
#
#   fleet_server.sh setup --cert PEM --key PEM [--server-id N] [--bind ADDRESS]
#                         [--cnf PATH] [--restart-cmd CMD]
#       Loads db/schema.sql, turns on the binary log (row format, kept until purged by
#       hand) and TLS, and restarts the server. --bind sets the address the server listens
#       on (the robots must reach it; Debian's default is 127.0.0.1). The certificate must
#       name the host the robots connect to. Safe to run again.
#   fleet_server.sh add-robot NAME --password-file FILE [--from HOST]
#       Creates (or updates) the replication account NAME@HOST (default host '%'): it may
#       only read the binary log (REPLICATION SLAVE) and only over TLS.
#   fleet_server.sh remove-robot NAME [--from HOST]
#   fleet_server.sh status
#       The binary log position and the robots connected right now.
#   fleet_server.sh snapshot > FILE
#       global_config as of one moment, with that moment's position in the binary log, for
#       `fleet_robot.sh join --snapshot FILE` on a robot. Old binary logs can be purged
#       (PURGE BINARY LOGS) once no robot still needs them; robots that do (offline since)
#       join again with a snapshot.
#
# --cnf defaults to /etc/mysql/mariadb.conf.d/60-velgar-fleet.cnf, --restart-cmd to
# `systemctl restart mariadb`. Nothing here is written to the binary log, so schema and
# account statements never reach the robots; only rows of global_config do.
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

cert="" key="" server_id=1 bind="" from="%" password_file="" name=""
cnf=/etc/mysql/mariadb.conf.d/60-velgar-fleet.cnf
restart_cmd="systemctl restart mariadb"
if [ "$cmd" = add-robot ] || [ "$cmd" = remove-robot ]; then
  name=${1:-}
  [ -n "$name" ] || usage
  shift
fi
while [ $# -gt 0 ]; do
  case $1 in
    --cert) cert=$2; shift 2 ;;
    --key) key=$2; shift 2 ;;
    --server-id) server_id=$2; shift 2 ;;
    --bind) bind=$2; shift 2 ;;
    --cnf) cnf=$2; shift 2 ;;
    --restart-cmd) restart_cmd=$2; shift 2 ;;
    --from) from=$2; shift 2 ;;
    --password-file) password_file=$2; shift 2 ;;
    *) usage ;;
  esac
done

account() {
  [[ $name =~ ^[A-Za-z0-9_.-]{1,80}$ ]] || fleet_die "robot name: letters, digits, _ . - only"
  [[ $from =~ ^[A-Za-z0-9_.%:-]{1,255}$ ]] || fleet_die "--from: a host name, address or pattern"
  printf '%s@%s' "$(fleet_sql_quote "$name")" "$(fleet_sql_quote "$from")"
}

case $cmd in
  setup)
    if [ ! -r "$cert" ] || [ ! -r "$key" ]; then
      fleet_die "setup needs --cert and --key (readable PEM files)"
    fi
    [[ $server_id =~ ^[1-9][0-9]{0,9}$ ]] || fleet_die "--server-id: a positive integer"
    [[ $bind =~ ^[A-Za-z0-9_.:*-]{0,255}$ ]] || fleet_die "--bind: an address"
    { echo "SET SESSION sql_log_bin = 0;"; cat "$root/db/schema.sql"; } | mariadb
    fleet_write_cnf "$cnf" <<EOF
# Written by fleet_server.sh setup: this server is the fleet server. Robots replicate
# ROBOT.global_config from its binary log, so the log is kept until purged by hand: a robot
# can catch up from as far back as the oldest log kept.
[mariadbd]
server_id = $server_id
log_bin = velgar-fleet-bin
binlog_format = ROW
binlog_row_image = FULL
expire_logs_days = 0
ssl_cert = $(readlink -f "$cert")
ssl_key = $(readlink -f "$key")
require_secure_transport = ON
${bind:+bind_address = $bind}
EOF
    eval "$restart_cmd"
    [ "$(fleet_sql 'SELECT @@log_bin, @@binlog_format, @@have_ssl')" = $'1\tROW\tYES' ] ||
      fleet_die "the server did not come back with the binary log and TLS on (see its error log)"
    echo "fleet server ready: server_id $server_id, binary log $(fleet_sql 'SELECT @@log_bin_basename')"
    ;;
  add-robot)
    [ -n "$password_file" ] || fleet_die "add-robot needs --password-file"
    who=$(account)
    password=$(fleet_read_secret "$password_file")
    fleet_sql "SET SESSION sql_log_bin = 0;
      CREATE USER IF NOT EXISTS $who IDENTIFIED BY $(fleet_sql_quote "$password") REQUIRE SSL;
      ALTER USER $who IDENTIFIED BY $(fleet_sql_quote "$password") REQUIRE SSL;
      GRANT REPLICATION SLAVE ON *.* TO $who;"
    echo "replication account $name@$from ready (REPLICATION SLAVE, TLS required)"
    ;;
  remove-robot)
    who=$(account)
    fleet_sql "SET SESSION sql_log_bin = 0; DROP USER IF EXISTS $who;"
    echo "replication account $name@$from removed"
    ;;
  snapshot)
    # One consistent read: the rows and the position belong to the same moment.
    mariadb-dump --single-transaction --gtid --master-data=2 --no-create-info \
      --skip-triggers --skip-add-locks --skip-disable-keys ROBOT global_config
    ;;
  status)
    fleet_sql "SHOW MASTER STATUS"
    echo "robots connected:"
    fleet_sql "SELECT CONCAT('  ', user, ' from ', host, ', for ', time, ' s')
      FROM information_schema.processlist WHERE command LIKE 'Binlog Dump%'"
    ;;
  *) usage ;;
esac
