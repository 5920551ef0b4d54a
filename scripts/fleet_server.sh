#!/usr/bin/env bash
# fleet_server.sh: the fleet server, the one MariaDB from which every robot's server (or a
# relay, see fleet_relay.sh) replicates ROBOT.global_config. Run as root on the fleet server.
#
#   fleet_server.sh setup --cert PEM --key PEM [--server-id N] [--bind ADDRESS]
#                         [--cnf PATH] [--restart-cmd CMD]
#       Loads config_center/db/schema.sql, turns on the binary log (row format, kept until purged by
#       hand) and TLS, and restarts the server. --bind sets the address the server listens
#       on (the robots must reach it; Debian's default is 127.0.0.1). The certificate must
#       name the host the robots connect to. Refuses TRUNCATE and DROP TABLE of global_config
#       from then on (see clear-global). Safe to run again.
#   fleet_server.sh add-robot NAME --password-file FILE [--from HOST]
#       Creates (or updates) the replication account NAME@HOST (default host '%'): it may
#       only read the binary log (REPLICATION SLAVE) and only over TLS. Hands the robot a
#       server id of its own, which `fleet_robot.sh join` fetches. A relay is added the same.
#   fleet_server.sh remove-robot NAME [--from HOST]
#   fleet_server.sh status
#       The binary log position, the robots connected and not connected right now, and
#       robots whose connections keep being replaced (two servers with one server id).
#   fleet_server.sh snapshot > FILE
#       global_config as of one moment, with that moment's position in the binary log, as a
#       data file for `fleet_robot.sh join --snapshot FILE`. Old binary logs can be purged
#       (PURGE BINARY LOGS) once no robot still needs them; robots that do (offline since)
#       join again with a snapshot.
#   fleet_server.sh clear-global
#       Deletes every row of global_config in one transaction: robots withdraw every item,
#       as their triggers see each row go. Use it instead of TRUNCATE, which reaches robots
#       without row events.
#
# --cnf defaults to /etc/mysql/mariadb.conf.d/60-velgar-fleet.cnf, --restart-cmd to
# `systemctl restart mariadb`. Nothing here but global_config's rows is written to the
# binary log, so schema and account statements never reach the robots.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/fleet_lib.sh
. "$root/scripts/fleet_lib.sh"
# shellcheck source=scripts/fleet_serve_lib.sh
. "$root/scripts/fleet_serve_lib.sh"

fleet_command "$@"
cert="" key="" server_id=1 bind="" from="%" password_file=""
cnf=/etc/mysql/mariadb.conf.d/60-velgar-fleet.cnf
restart_cmd="systemctl restart mariadb"
fleet_parse_options "cert key server-id bind cnf restart-cmd from password-file" "${fleet_args[@]}"

case $cmd in
  setup)
    serve_check_tls_files "$cert" "$key" "$bind"
    fleet_require_server_id "$server_id" --server-id
    serve_prepare "$root"
    fleet_write_file "$cnf" <<EOF
# Written by fleet_server.sh setup: this server is the fleet server. Robots replicate
# ROBOT.global_config from its binary log.
[mariadbd]
server_id = $server_id
log_bin = velgar-fleet-bin
binlog_format = ROW
binlog_row_image = FULL
$(serve_options "$cert" "$key" "$bind")
EOF
    eval "$restart_cmd"
    [ "$(fleet_sql 'SELECT @@log_bin, @@binlog_format, @@have_ssl')" = $'1\tROW\tYES' ] ||
      fleet_die "the server did not come back with the binary log and TLS on (see its error log)"
    echo "fleet server ready: server_id $server_id, binary log $(fleet_sql 'SELECT @@log_bin_basename')"
    ;;
  add-robot)
    [ -n "$password_file" ] || fleet_die "add-robot needs --password-file"
    serve_add_robot "$name" "$from" "$password_file"
    ;;
  remove-robot) serve_remove_robot "$name" "$from" ;;
  status) serve_status ;;
  snapshot) serve_snapshot ;;
  clear-global)
    echo "deleted $(fleet_sql "DELETE FROM ROBOT.global_config; SELECT ROW_COUNT()") rows of" \
      "global_config; every robot withdraws their items"
    ;;
  *) fleet_usage ;;
esac
