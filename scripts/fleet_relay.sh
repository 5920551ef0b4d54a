#!/usr/bin/env bash
# fleet_relay.sh: a relay, a MariaDB between the fleet server and a group of robots. It
# replicates ROBOT.global_config from the fleet server (as a robot does, over TLS, with an
# account from `fleet_server.sh add-robot`) and serves it from its own binary log to its
# robots (over TLS, with accounts of its own), so the fleet server sends each change once per
# relay instead of once per robot. Run as root on the relay.
#
#   fleet_relay.sh setup --cert PEM --key PEM [--bind ADDRESS]
#                        --host FLEET [--port 3306] --user NAME --password-file FILE
#                        --ca CA.pem [--server-id N] [--snapshot FILE] [--cnf PATH]
#                        [--connect-retry S] [--wait S] [--restart-cmd CMD]
#       --cert, --key and --bind serve the relay's robots, as for `fleet_server.sh setup`;
#       the rest follows the fleet server, as for `fleet_robot.sh join` (the same checks,
#       and a failure gives back what it found). Restarts the server when its binary log,
#       log_slave_updates or TLS need it. Safe to run again (a new password, another
#       fleet server address).
#   fleet_relay.sh add-robot NAME --password-file FILE [--from HOST]
#   fleet_relay.sh remove-robot NAME [--from HOST]
#   fleet_relay.sh snapshot > FILE
#       As on the fleet server, for the robots of this relay: they join it with
#       `fleet_robot.sh join --host RELAY ...`. A robot can move between the fleet server and
#       relays by joining again with another --host (and the account and server id that
#       server handed out): it resumes at its position, which is the same everywhere.
#   fleet_relay.sh status
#       The link to the fleet server, then the robots, as `fleet_server.sh status` shows them.
#
# The relay runs no trigger on the fleet's rows (it has no config_center), and passes on
# nothing but global_config's rows. Its binary log is kept until purged by hand.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/fleet_lib.sh
. "$root/scripts/fleet_lib.sh"
# shellcheck source=scripts/fleet_serve_lib.sh
. "$root/scripts/fleet_serve_lib.sh"
# shellcheck source=scripts/fleet_follow_lib.sh
. "$root/scripts/fleet_follow_lib.sh"

fleet_command "$@"
cert="" key="" bind="" from="%"
host="" port=3306 user="" password_file="" ca="" server_id="" connect_retry=10 wait=20
snapshot="" discard_local_global=0
cnf=/etc/mysql/mariadb.conf.d/60-velgar-fleet.cnf
restart_cmd="systemctl restart mariadb"
fleet_parse_options "cert key bind from host port user password-file ca server-id snapshot cnf
  connect-retry wait restart-cmd" "${fleet_args[@]}"

follow_rows_logged=0
follow_role_options() {
  echo "slave_run_triggers_for_rbr = NO"
  serve_options "$cert" "$key" "$bind"
}
follow_role_settings() { echo "SET GLOBAL slave_run_triggers_for_rbr = 'NO';"; }
follow_needs_restart() {
  [ "$(fleet_sql "SELECT @@have_ssl = 'YES' AND @@ssl_cert = $(fleet_sql_quote \
    "$(readlink -f "$cert")")")" != 1 ]
}
follow_joined() { :; }

case $cmd in
  setup)
    serve_check_tls_files "$cert" "$key" "$bind"
    serve_prepare "$root"
    follow_join
    ;;
  add-robot)
    [ -n "$password_file" ] || fleet_die "add-robot needs --password-file"
    serve_add_robot "$name" "$from" "$password_file"
    ;;
  remove-robot) serve_remove_robot "$name" "$from" ;;
  snapshot) serve_snapshot ;;
  status)
    follow_status
    serve_status
    ;;
  *) fleet_usage ;;
esac
