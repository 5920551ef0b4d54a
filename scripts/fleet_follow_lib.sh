# shellcheck shell=bash
# Following a binary log of global_config: a robot follows the fleet server (or a relay), a
# relay follows the fleet server. Sourced by fleet_robot.sh and fleet_relay.sh after
# fleet_lib.sh; `follow_join` reads the options those scripts parse (host port user
# password_file ca server_id cnf connect_retry wait snapshot discard_local_global
# restart_cmd), and four functions of the caller for what only its role needs (a robot runs
# its own triggers on the fleet's rows, a relay passes them on and serves robots over TLS):
#   follow_role_options   prints its option file lines
#   follow_role_settings  prints SQL that sets the same on the running server
#   follow_needs_restart  succeeds when the server must restart for them
#   follow_joined         runs once the join succeeded
# and follow_rows_logged: 1 when the rows a join applies go into this server's binary log
# (a robot's, which its node follows), 0 when they must not (a relay's, which robots follow:
# they take only the fleet's own transactions from it).
#
# A join changes nothing on this server until the fleet server has accepted the link (TLS,
# account, server id), and touches global_config only once replication has fetched from the
# position it will use. Any failure gives back the settings, position and rows it found.
# shellcheck disable=SC2154 # the options are the sourcing script's variables

follow_ca_copy() { echo "$(dirname "$cnf")/velgar-fleet-ca.pem"; }
# A server that follows nothing answers STOP SLAVE with an error; that is stopped too.
follow_stop() { fleet_sql "STOP SLAVE" >/dev/null 2>&1 || true; }

follow_check_settings() {
  if [ -z "$host" ] || [ -z "$user" ] || [ -z "$password_file" ] || [ -z "$ca" ]; then
    fleet_die "needs --host, --user, --password-file and --ca"
  fi
  fleet_require "$host" '^[A-Za-z0-9_.:-]{1,255}$' "--host: a host name or address"
  fleet_require "$port" '^[0-9]{1,5}$' "--port: a number"
  fleet_require "$connect_retry" '^[1-9][0-9]{0,5}$' "--connect-retry: seconds, at least 1"
  fleet_require "$wait" '^[1-9][0-9]{0,5}$' "--wait: seconds, at least 1"
  [ -z "$server_id" ] || fleet_require_server_id "$server_id" --server-id
  openssl x509 -in "$ca" -noout 2>/dev/null || fleet_die "--ca: not a PEM certificate: $ca"
  if [ -n "$snapshot" ] && [ "$discard_local_global" = 1 ]; then
    fleet_die "--snapshot and --discard-local-global exclude each other"
  fi
}

# Checks a snapshot file's form and size before anything uses it, on a private copy (what
# is checked is what is loaded): sets snapshot_position, and writes the rows, in the form
# LOAD DATA reads, to $fleet_scratch_dir/snapshot.rows.
follow_read_snapshot() {
  local file=$1 copy=$fleet_scratch_dir/snapshot problem
  if [ ! -f "$file" ] || [ ! -r "$file" ]; then fleet_die "--snapshot: cannot read $file"; fi
  [ "$(stat -c %s "$file")" -le $((1 << 30)) ] || fleet_die "--snapshot: $file is over 1 GiB"
  cp -- "$file" "$copy"
  problem=$(LC_ALL=C awk -F '\t' -v rows="$copy.rows" -v position="$copy.position" '
    function bad(what) { print "line " NR ": " what; failed = 1; exit 1 }
    function hex(f, most) { return f ~ /^[0-9A-F]*$/ && length(f) % 2 == 0 && length(f) <= most }
    function hex_or_null(f, most) { return f == "\\N" || hex(f, most) }
    function int_or_null(f) { return f == "\\N" || (f ~ /^-?[0-9]+$/ && length(f) <= 11) }
    function epoch(f) { return f ~ /^[0-9]+(\.[0-9]+)?$/ && length(f) <= 24 }
    NR == 1 { if ($0 != "velgar-fleet-snapshot 1") bad("not a snapshot of fleet_server.sh"); next }
    NR == 2 {
      if ($0 !~ /^position [0-9,-]*$/) bad("no position")
      print substr($0, 10) > position
      next
    }
    ended { bad("text after the end line") }
    /^end [0-9]+$/ { ended = 1; if (substr($0, 5) + 0 != count) bad("row count differs"); next }
    {
      if (NF != 8) bad("not 8 fields")
      if ($1 !~ /^[1-9][0-9]*$/ || length($1) > 18 || seen[$1]++) bad("bad or repeated id")
      if (!hex($2, 2040) || $2 == "") bad("name")
      if (!hex_or_null($3, 33554430)) bad("value")
      if (!hex_or_null($4, 2040)) bad("node_name")
      if (!int_or_null($5) || $6 !~ /^-?[0-9]+$/ || length($6) > 11) bad("config_type or deleted")
      if (!epoch($7) || !epoch($8)) bad("times")
      count++
      print > rows
    }
    END { if (!ended && !failed) print "cut short: no end line" }
  ' "$copy") || true
  [ -z "$problem" ] || fleet_die "--snapshot: $file is not a usable snapshot ($problem)"
  touch "$copy.rows"
  snapshot_position=$(cat "$copy.position")
  fleet_require "$snapshot_position" '^([0-9]+-[0-9]+-[0-9]+(,[0-9]+-[0-9]+-[0-9]+)*)?$' \
    "--snapshot: $file has no valid position"
}

# Asks the server to follow, over TLS as this robot's account, for its server id, the
# server ids its binary log carries and the ids it handed out; changes nothing here.
follow_ask_upstream() {
  local password=$1 client=$fleet_scratch_dir/upstream.cnf out code
  password=${password//\\/\\\\}
  password=${password//\"/\\\"}
  (
    umask 077
    printf '[client]\nhost=%s\nport=%s\nuser=%s\npassword="%s"\nssl-ca=%s\n' \
      "$host" "$port" "$user" "$password" "$(readlink -f "$ca")"
    printf 'ssl-verify-server-cert\nconnect-timeout=%s\n' "$wait"
  ) >"$client"
  if out=$(printf '%s\n' "SELECT @@server_id, @@gtid_binlog_state;" \
    "SELECT server_id, mine FROM velgar_fleet.server_ids;" |
    mariadb --defaults-file="$client" --batch --skip-column-names 2>&1); then
    :
  else
    code=$(sed -n 's/^ERROR \([0-9]*\) .*/\1/p' <<<"$out" | head -n 1)
    case $code in
      1142 | 1146 | 1356)
        # A server set up before ids were handed out: only the checks it allows.
        [ -n "$server_id" ] || fleet_die "$host:$port hands out no server id to $user:" \
          "run \`fleet_server.sh add-robot $user\` there (again), or give --server-id." \
          "Nothing was changed here."
        ;;
      *) follow_explain_refusal "$code" "$(grep '^ERROR' <<<"$out" | head -n 1)" ;;
    esac
  fi
  upstream_id=$(head -n 1 <<<"$out" | cut -f1)
  upstream_origins=$(head -n 1 <<<"$out" | cut -f2 | tr ',' '\n' | cut -d- -f2)
  upstream_ids=$(tail -n +2 <<<"$out" | grep -E '^[0-9]+	[01]$' || true)
}

follow_explain_refusal() {
  local code=$1 text=${2#*): }
  case $code in
    1045) fleet_die "$host:$port refused the account $user ($text): check --password-file," \
      "or run \`fleet_server.sh add-robot $user --password-file FILE\` there. Nothing was changed here." ;;
    2026) fleet_die "TLS with $host:$port failed ($text): its certificate must be signed by" \
      "--ca and name $host. Nothing was changed here." ;;
    *) fleet_die "cannot reach $host:$port as $user (${text:-no answer}): check --host," \
      "--port and the network. Nothing was changed here." ;;
  esac
}

# The server id this server follows with: --server-id, or the one the upstream handed out.
# One that clashes is refused: the upstream's own id (replication refuses it), an id that
# wrote events in its binary log (this server would skip them all), another robot's (each
# connection would push the other off).
follow_choose_server_id() {
  local mine taken origin
  mine=$(awk -F '\t' '$2 == 1 { print $1 }' <<<"$upstream_ids")
  server_id=${server_id:-$mine}
  [ -n "$server_id" ] || fleet_die "$host:$port hands out no server id to $user: run" \
    "\`fleet_server.sh add-robot $user\` there (again). Nothing was changed here."
  [ "$server_id" != "$upstream_id" ] || fleet_die "server id $server_id is $host's own:" \
    "use the one handed out for $user (${mine:-see add-robot}). Nothing was changed here."
  for origin in $upstream_origins; do
    [ "$server_id" != "$origin" ] || fleet_die "server id $server_id wrote events in the" \
      "binary log of $host: this server would skip every one of them. Use the one handed" \
      "out for $user (${mine:-see add-robot}). Nothing was changed here."
  done
  taken=$(awk -F '\t' -v id="$server_id" '$1 == id && $2 == 0' <<<"$upstream_ids")
  [ -z "$taken" ] || fleet_die "server id $server_id belongs to another robot of $host: the" \
    "two connections would push each other off. Use the one handed out for $user" \
    "(${mine:-see add-robot}). Nothing was changed here."
}

# What a failed join gives back.
follow_save_state() {
  local status
  status=$(mariadb -e 'SHOW SLAVE STATUS\G')
  saved_link=$(sed -n 's/^ *Master_Host: //p' <<<"$status")
  saved_running=0
  grep -qE '^ *Slave_(IO|SQL)_Running: (Yes|Connecting)$' <<<"$status" && saved_running=1
  if [ -n "$saved_link" ]; then
    saved_change_master="MASTER_HOST = $(fleet_sql_quote "$saved_link"),
      MASTER_PORT = $(sed -n 's/^ *Master_Port: //p' <<<"$status"),
      MASTER_USER = $(fleet_sql_quote "$(sed -n 's/^ *Master_User: //p' <<<"$status")"),
      MASTER_PASSWORD = $(fleet_sql_quote "$(follow_saved_password)"),
      MASTER_CONNECT_RETRY = $(sed -n 's/^ *Connect_Retry: //p' <<<"$status"),
      MASTER_SSL = $([ "$(sed -n 's/^ *Master_SSL_Allowed: //p' <<<"$status")" = Yes ] && echo 1 || echo 0),
      MASTER_SSL_CA = $(fleet_sql_quote "$(sed -n 's/^ *Master_SSL_CA_File: //p' <<<"$status")"),
      MASTER_SSL_VERIFY_SERVER_CERT = $([ "$(sed -n 's/^ *Master_SSL_Verify_Server_Cert: //p' \
      <<<"$status")" = Yes ] && echo 1 || echo 0), MASTER_USE_GTID = slave_pos"
  fi
  saved_globals=$(fleet_sql "SELECT CONCAT_WS(', ', CONCAT('server_id = ', @@server_id),
    CONCAT('replicate_do_table = ', QUOTE(@@replicate_do_table)),
    CONCAT('replicate_wild_do_table = ', QUOTE(@@replicate_wild_do_table)),
    CONCAT('slave_run_triggers_for_rbr = ', QUOTE(@@slave_run_triggers_for_rbr)),
    CONCAT('slave_net_timeout = ', @@slave_net_timeout))")
  local file
  for file in "$cnf" "$(follow_ca_copy)"; do
    [ ! -e "$file" ] || cp -p -- "$file" "$fleet_scratch_dir/saved.$(basename "$file")"
  done
}

# The password of the link in force: the server keeps it only in master.info, in its data
# directory (the sixth line).
follow_saved_password() {
  sed -n 6p "$(fleet_sql "SELECT @@datadir")/master.info" 2>/dev/null || true
}

follow_restore() {
  [ "$1" -ne 0 ] && [ "${follow_armed:-0}" = 1 ] || return 0
  echo "$(basename "$0"): giving back the settings this server had before" >&2
  local file saved
  for file in "$cnf" "$(follow_ca_copy)"; do
    saved=$fleet_scratch_dir/saved.$(basename "$file")
    if [ -e "$saved" ]; then cp -p -- "$saved" "$file"; else rm -f -- "$file"; fi
  done
  printf '%s\n' "STOP SLAVE; RESET SLAVE ALL; SET GLOBAL $saved_globals;
    SET GLOBAL gtid_slave_pos = $(fleet_sql_quote "$saved_position");
    ${saved_link:+CHANGE MASTER TO $saved_change_master;}
    $([ "$saved_running" = 1 ] && echo 'START SLAVE;')" | mariadb --force >/dev/null 2>&1 ||
    echo "$(basename "$0"): could not give back every setting; see SHOW SLAVE STATUS" >&2
}

# The option file, and the settings of the running server that can change without a restart.
# The binary log and log_slave_updates can not: the server restarts once for them.
follow_prepare_server() {
  fleet_write_file "$cnf" <<EOF
# Written by $(basename "$0"): this server follows ROBOT.global_config from the binary log of
# $host (address and account are kept by the server itself, CHANGE MASTER).
[mariadbd]
server_id = $server_id
replicate_do_table = ROBOT.global_config
# Also keeps out statements on whole databases (DROP DATABASE ...), which do_table lets by.
replicate_wild_do_table = ROBOT.global_config
# A link that dies silently is noticed within this many seconds, and a follower offline for
# however long keeps trying to reconnect (0: no limit; read when the server starts).
slave_net_timeout = 20
master_retry_count = 0
# Names this server in the upstream's SHOW SLAVE HOSTS, where fleet_server.sh status finds
# two servers on one server id.
report_host = $user
# Replicated changes go into this server's own binary log too, in row format.
log_bin = $(fleet_sql "SELECT IF(@@log_bin, @@log_bin_basename, 'velgar-bin')")
binlog_format = ROW
log_slave_updates = ON
$(follow_role_options)
EOF
  if [ "$(fleet_sql "SELECT @@log_bin AND @@log_slave_updates AND
    @@report_host <=> $(fleet_sql_quote "$user")")" != 1 ] || follow_needs_restart; then
    eval "$restart_cmd" || fleet_die "the server did not restart with the new options (see its error log)"
    follow_stop
    # The first time, the binary log starts afresh: what the server wrote into it before it
    # followed the fleet (under an id that may be the fleet server's own) must never sit
    # beside the fleet's transactions, or be passed on by a relay.
    [ -e "$fleet_scratch_dir/saved.$(basename "$cnf")" ] || fleet_sql "RESET MASTER"
    [ "$(fleet_sql 'SELECT @@log_bin AND @@log_slave_updates')" = 1 ] ||
      echo "$(basename "$0"): warning: the server runs without log_bin or log_slave_updates" \
        "(set elsewhere?): fleet changes will not reach its own binary log" >&2
  fi
  # The old link may have applied more since it was saved (it starts with the server).
  saved_position=$(fleet_sql "SELECT @@global.gtid_slave_pos")
  fleet_sql "SET GLOBAL server_id = $server_id;
    SET GLOBAL replicate_do_table = 'ROBOT.global_config';
    SET GLOBAL replicate_wild_do_table = 'ROBOT.global_config';
    SET GLOBAL slave_net_timeout = 20;
    $(follow_role_settings)"
}

# Points replication at the new settings and starts fetching only: it proves TLS, account and
# that the position is still in the upstream's logs (the first event sent names its log file).
follow_start_link() {
  local password=$1 position
  position=$saved_position
  [ -z "$snapshot" ] || position=$snapshot_position
  [ "$discard_local_global" != 1 ] || position=""
  install -m 0644 "$ca" "$(follow_ca_copy).tmp"
  mv -f "$(follow_ca_copy).tmp" "$(follow_ca_copy)"
  fleet_sql "RESET SLAVE ALL; SET GLOBAL gtid_slave_pos = $(fleet_sql_quote "$position");
    CHANGE MASTER TO MASTER_HOST = $(fleet_sql_quote "$host"), MASTER_PORT = $port,
      MASTER_USER = $(fleet_sql_quote "$user"), MASTER_PASSWORD = $(fleet_sql_quote "$password"),
      MASTER_USE_GTID = slave_pos, MASTER_CONNECT_RETRY = $connect_retry,
      MASTER_HEARTBEAT_PERIOD = 5,
      MASTER_SSL = 1, MASTER_SSL_CA = $(fleet_sql_quote "$(follow_ca_copy)"),
      MASTER_SSL_VERIFY_SERVER_CERT = 1;
    START SLAVE IO_THREAD;"
  local deadline=$((SECONDS + wait)) status errno
  while :; do
    status=$(mariadb -e 'SHOW SLAVE STATUS\G')
    if grep -q '^ *Slave_IO_Running: Yes$' <<<"$status" &&
      grep -q '^ *Master_Log_File: [^ ]' <<<"$status"; then
      return 0
    fi
    errno=$(sed -n 's/^ *Last_IO_Errno: //p' <<<"$status")
    case $errno in
      1236) fleet_die "$host no longer has its binary log from position '${position}'" \
        "($(sed -n 's/^ *Last_IO_Error: //p' <<<"$status")): join with --snapshot FILE," \
        "made there by \`fleet_server.sh snapshot\`." ;;
      1045 | 1593 | 2026) break ;;
    esac
    [ "$SECONDS" -lt "$deadline" ] || break
    sleep 0.1
  done
  fleet_die "replication did not connect to $host:$port within $wait s" \
    "($(sed -n 's/^ *Last_IO_Error: //p' <<<"$status"))"
}

# --snapshot and --discard-local-global: global_config becomes the snapshot's rows (none for
# --discard-local-global) in one transaction. Only items whose effective value changed reach
# the change log (see fleet_snapshot_apply.sql), and the guard against local edits is lifted
# for this session and this transaction only.
follow_apply_rows() {
  [ -n "$snapshot" ] || [ "$discard_local_global" = 1 ] || return 0
  local rows=$fleet_scratch_dir/snapshot.rows summary
  [ -n "$snapshot" ] || : >"$rows"
  summary=$({
    echo "USE ROBOT; SET SESSION time_zone = '+00:00'; SET SESSION sql_log_bin = $follow_rows_logged;"
    echo "CREATE TEMPORARY TABLE fleet_snapshot_rows LIKE global_config;"
    echo "START TRANSACTION; SET @velgar_fleet_sync = 1;"
    # shellcheck disable=SC2028 # \t and \\ are for SQL
    echo "LOAD DATA LOCAL INFILE $(fleet_sql_quote "$rows") INTO TABLE fleet_snapshot_rows
      CHARACTER SET binary FIELDS TERMINATED BY '\\t' ESCAPED BY '\\\\'
      LINES TERMINATED BY '\\n'
      (id, @name, @value, @node_name, @config_type, deleted, @created_at, @updated_at)
      SET name = UNHEX(@name), value = UNHEX(@value), node_name = UNHEX(@node_name),
        config_type = @config_type, created_at = FROM_UNIXTIME(@created_at),
        updated_at = FROM_UNIXTIME(@updated_at);"
    cat "$root/scripts/fleet_snapshot_apply.sql"
    echo "COMMIT; SET @velgar_fleet_sync = NULL;"
  } | mariadb --local-infile=1 --batch --skip-column-names --max-allowed-packet=1G 2>&1) ||
    fleet_die "global_config was left as it was: applying the fleet's rows failed ($summary)"
  echo "global_config holds the fleet's rows as of '${snapshot_position:-the start of its log}':" \
    "$summary"
}

follow_join() {
  follow_check_settings
  fleet_scratch
  local password rows
  password=$(fleet_read_secret "$password_file")
  [ -z "$snapshot" ] || follow_read_snapshot "$snapshot"
  rows=$(fleet_sql "SELECT COUNT(*) FROM ROBOT.global_config")
  if [ "$rows" -gt 0 ] && [ -z "$(fleet_sql "SELECT @@global.gtid_slave_pos")" ] &&
    [ -z "$snapshot" ] && [ "$discard_local_global" != 1 ]; then
    fleet_die "global_config holds $rows rows of this server's own; the fleet's replace them" \
      "only with --snapshot FILE or --discard-local-global (custom_config is kept either way)"
  fi
  follow_ask_upstream "$password"
  follow_choose_server_id
  follow_save_state
  fleet_at_exit follow_restore
  follow_armed=1
  follow_stop
  saved_position=$(fleet_sql "SELECT @@global.gtid_slave_pos")
  follow_prepare_server
  follow_start_link "$password"
  follow_apply_rows
  fleet_sql "START SLAVE SQL_THREAD"
  follow_armed=0
  follow_joined
  echo "following $host:$port as server $server_id"
  follow_status
}

follow_leave() {
  # The position goes too: rows edited here from now on are no longer the fleet's, so a
  # later join starts over (--snapshot or --discard-local-global) instead of resuming.
  follow_stop
  fleet_sql "RESET SLAVE ALL; SET GLOBAL replicate_do_table = '';
    SET GLOBAL replicate_wild_do_table = ''; SET GLOBAL gtid_slave_pos = '';"
  rm -f "$cnf" "$(follow_ca_copy)"
}

follow_status() {
  local status
  status=$(mariadb -e 'SHOW SLAVE STATUS\G')
  field() { sed -n "s/^ *$1: //p" <<<"$status"; }
  if [ -z "$(field Slave_IO_Running)" ]; then
    echo "not following a fleet server"
    return
  fi
  echo "following $(field Master_Host):$(field Master_Port) as server" \
    "$(fleet_sql 'SELECT @@server_id'), link $(field Slave_IO_Running)," \
    "applying $(field Slave_SQL_Running), position $(field Gtid_IO_Pos)," \
    "behind $(field Seconds_Behind_Master) s"
  [ -z "$(field Last_IO_Error)" ] || echo "link error: $(field Last_IO_Error)"
  [ -z "$(field Last_SQL_Error)" ] || echo "apply error: $(field Last_SQL_Error)"
}
