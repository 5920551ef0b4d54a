#!/usr/bin/env bash
# setup_robot.sh [--credentials FILE] [--user NAME] [--keep-public-account] [--no-schema]
#                [--no-restart] [--report-credentials FILE --report-ca FILE [--report-dir DIR]]
# Sets up a robot's MariaDB for config_center, as root, where `mariadb` reaches the server as
# its administrator (Debian's default: root through the local socket):
#   1. loads config_center/db/schema.sql (safe on an existing database; see its head);
#   2. gives the node an account of its own, NAME (default config_center) from 127.0.0.1 and
#      localhost, with a newly generated password, SELECT on ROBOT and REPLICATION SLAVE (the
#      change feed reads the binary log with it), and nothing else;
#   3. writes that account to FILE (default /etc/velgar/config_center/db.cnf), a MariaDB
#      option file owned by root, mode 0600, in a directory only root can enter: the unit's
#      LoadCredential= hands a copy to the node's service (see
#      config_center/src/store/db_credentials.hpp for why that and not a file the node opens);
#   4. locks the account `robot`, whose password is public (it is in config_center's
#      source), unless --keep-public-account: nothing of config_center needs it any more,
#      and anyone who has the source could read every item with it;
#   5. restarts config_center.service when systemd runs it, so that it logs in with the new
#      account (not with --no-restart);
#   6. with --report-credentials (a robot of a fleet: the file `velgar-fleet server
#      add-reporter` wrote for this robot) and --report-ca (the fleet's CA certificate):
#      installs them for velgar-fleet-report.service, the CA as DIR/ca.pem (readable by
#      all: it is public) and the account as DIR/report.cnf (root's only, 0600, its ssl-ca
#      pointing at DIR/ca.pem), DIR being /etc/velgar/fleet unless --report-dir; restarts
#      that service when it runs (not with --no-restart).
# Running it again gives the account a new password, and the file with it. The password
# never appears on a command line or in the binary log.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

credentials=/etc/velgar/config_center/db.cnf
user=config_center
keep_public=0 load_schema=1 restart=1
report_credentials="" report_ca="" report_dir=/etc/velgar/fleet
usage() { sed -n '2,3p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --credentials) [ $# -ge 2 ] || usage; credentials=$2; shift 2 ;;
    --user) [ $# -ge 2 ] || usage; user=$2; shift 2 ;;
    --keep-public-account) keep_public=1; shift ;;
    --no-schema) load_schema=0; shift ;;
    --no-restart) restart=0; shift ;;
    --report-credentials) [ $# -ge 2 ] || usage; report_credentials=$2; shift 2 ;;
    --report-ca) [ $# -ge 2 ] || usage; report_ca=$2; shift 2 ;;
    --report-dir) [ $# -ge 2 ] || usage; report_dir=$2; shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "setup_robot: unknown argument '$1'" >&2; usage ;;
  esac
done

die() { echo "setup_robot: $*" >&2; exit 1; }
# Letters, digits and '_' only: the name goes into SQL and into the option file unquoted.
[[ $user =~ ^[A-Za-z0-9_]{1,32}$ ]] || die "--user: 1 to 32 letters, digits or '_'"
[ "$user" != robot ] || die "--user: robot is the account with the public password"
case "$credentials" in
  /*) ;;
  *) die "--credentials: an absolute path" ;;
esac
if [ -n "$report_credentials" ] || [ -n "$report_ca" ]; then
  if [ ! -f "$report_credentials" ] || [ ! -f "$report_ca" ]; then
    die "--report-credentials and --report-ca: both, readable files"
  fi
  grep -q '^user=.*\.report$' "$report_credentials" ||
    die "$report_credentials is no report account (velgar-fleet server add-reporter writes one)"
fi
command -v mariadb >/dev/null || die "the mariadb client is missing (Debian package mariadb-client)"
mariadb -e "SELECT 1" >/dev/null || die "mariadb does not reach the server as its administrator"

if [ "$load_schema" -eq 1 ]; then
  schema=""
  for candidate in "$here/../config_center/db/schema.sql" "$here/../db/schema.sql"; do
    if [ -f "$candidate" ]; then schema=$candidate; break; fi
  done
  [ -n "$schema" ] || die "schema.sql not found beside $here"
  mariadb <"$schema" || die "loading $schema failed"
  echo "schema: loaded $(readlink -f "$schema")"
fi

# 32 characters of [A-Za-z0-9] from 24 random bytes' worth and more: about 190 bits.
password=""
while [ "${#password}" -lt 32 ]; do
  password+=$(head -c 48 /dev/urandom | base64 -w 0 | tr -d '+/=')
done
password=${password:0:32}

# The file first, beside its final place, so that a failure leaves the old one in force.
# A directory made here is root's only; its parents (/etc/velgar) stay readable for the rest
# of the robot's set-up; an existing directory keeps its mode (the file is 0600 anyway).
directory=$(dirname "$credentials")
if [ ! -d "$directory" ]; then
  (umask 022 && mkdir -p "$(dirname "$directory")")
  mkdir -m 0700 "$directory"
fi
umask 077
new_file=$(mktemp "$directory/.$(basename "$credentials").XXXXXX")
trap 'rm -f "$new_file"' EXIT
cat >"$new_file" <<EOF
# config_center's database account, written by setup_robot.sh at $(date '+%F %T %Z').
# Root's only: config_center.service gets a copy through LoadCredential=. Running
# setup_robot.sh again gives the account a new password and rewrites this file.
# Try it: mariadb --defaults-file=$credentials ROBOT -e 'SELECT COUNT(*) FROM global_config'
[client]
host=127.0.0.1
user=$user
password="$password"
EOF
chmod 0600 "$new_file"
[ "$(id -u)" -ne 0 ] || chown 0:0 "$new_file"

# Through standard input: the password stays out of the process list. Out of the binary log
# too (sql_log_bin = 0): whoever reads that log must not learn it; nothing on a robot
# replicates from its server, so nothing misses the statements.
accounts="'$user'@'127.0.0.1', '$user'@'localhost'"
{
  echo "SET SESSION sql_log_bin = 0;"
  for host in 127.0.0.1 localhost; do
    echo "CREATE USER IF NOT EXISTS '$user'@'$host' IDENTIFIED BY '$password';"
    echo "ALTER USER '$user'@'$host' IDENTIFIED BY '$password';"
  done
  # Exactly these privileges, whatever it held before.
  echo "REVOKE ALL PRIVILEGES, GRANT OPTION FROM $accounts;"
  echo "GRANT SELECT ON ROBOT.* TO $accounts;"
  echo "GRANT REPLICATION SLAVE ON *.* TO $accounts;"
  if [ "$keep_public" -eq 0 ]; then
    echo "ALTER USER IF EXISTS 'robot'@'127.0.0.1', 'robot'@'localhost' ACCOUNT LOCK;"
  fi
} | mariadb || die "creating the account $user failed; $credentials is unchanged"
mv -f "$new_file" "$credentials"
trap - EXIT
echo "account: $user@127.0.0.1 and $user@localhost, SELECT on ROBOT and REPLICATION SLAVE, new password"
echo "credentials: $credentials (root only, mode 0600)"

mariadb --defaults-file="$credentials" ROBOT -e "SELECT 1" >/dev/null ||
  die "the new account cannot log in with $credentials"
if [ "$keep_public" -eq 0 ]; then
  echo "public account: robot locked (its password is in config_center's source)"
else
  echo "public account: robot kept (SELECT on ROBOT only; its password is public)"
fi

# systemd reads the credential when the service starts: a running node is restarted.
if [ "$restart" -eq 1 ] && [ -d /run/systemd/system ] &&
  systemctl is-active --quiet config_center.service; then
  systemctl restart config_center.service
  echo "config_center.service: restarted with the new account"
fi

# The report account, for velgar-fleet-report.service's LoadCredential=.
if [ -n "$report_credentials" ]; then
  (umask 022 && mkdir -p "$report_dir")
  install -m 0644 "$report_ca" "$report_dir/.ca.pem.new"
  mv -f "$report_dir/.ca.pem.new" "$report_dir/ca.pem"
  new_report=$(mktemp "$report_dir/.report.cnf.XXXXXX")
  trap 'rm -f "$new_report"' EXIT
  sed "s|^ssl-ca=.*|ssl-ca=$report_dir/ca.pem|" "$report_credentials" >"$new_report"
  chmod 0600 "$new_report"
  [ "$(id -u)" -ne 0 ] || chown 0:0 "$new_report"
  mv -f "$new_report" "$report_dir/report.cnf"
  trap - EXIT
  echo "report account: $(sed -n 's/^user=//p' "$report_dir/report.cnf") in $report_dir/report.cnf" \
    "(root only, mode 0600), the fleet's CA in $report_dir/ca.pem"
  if [ "$restart" -eq 1 ] && [ -d /run/systemd/system ] &&
    systemctl is-active --quiet velgar-fleet-report.service; then
    systemctl restart velgar-fleet-report.service
    echo "velgar-fleet-report.service: restarted with the new account"
  fi
fi
