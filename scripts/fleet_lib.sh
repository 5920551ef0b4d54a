# shellcheck shell=bash
# Helpers shared by fleet_server.sh and fleet_robot.sh (sourced, not run).
# Both talk to the local server as its administrator through the mariadb client's defaults
# (the server's Unix socket), the way an operator on that machine would.

fleet_die() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

# A quoted SQL string literal for $1 (backslashes and single quotes escaped).
fleet_sql_quote() {
  local s=${1//\\/\\\\}
  s=${s//\'/\\\'}
  printf "'%s'" "$s"
}

# Statements go in on standard input, never as arguments, where any user could read a
# password in them from the process list.
fleet_sql() {
  printf '%s\n' "$1" | mariadb --batch --skip-column-names
}

# The first line of a file (a password), without its line end.
fleet_read_secret() {
  local file=$1 line
  [ -r "$file" ] || fleet_die "cannot read $file"
  IFS= read -r line <"$file" || [ -n "$line" ] || fleet_die "$file is empty"
  line=${line%$'\r'}
  [ -n "$line" ] || fleet_die "$file is empty"
  printf '%s' "$line"
}

# Replaces the server option file $1 with standard input, atomically and readable by the
# server, so a crash never leaves a half-written file that stops the server from starting.
fleet_write_cnf() {
  local path=$1 dir tmp
  dir=$(dirname "$path")
  mkdir -p "$dir"
  tmp=$(mktemp "$dir/.velgar-fleet.XXXXXX")
  cat >"$tmp"
  chmod 0644 "$tmp"
  mv -f "$tmp" "$path"
}

# One field of SHOW SLAVE STATUS (empty when replication is not configured).
fleet_slave_field() {
  mariadb -e 'SHOW SLAVE STATUS\G' | sed -n "s/^ *$1: //p"
}
