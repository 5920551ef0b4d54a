# shellcheck shell=bash
# Helpers shared by the fleet scripts (sourced, not run): messages, options, SQL, secrets,
# option files. Every script talks to the local server as its administrator through the
# mariadb client's defaults (the server's Unix socket), the way an operator on that machine
# would.

fleet_scratch_dir=""

fleet_die() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

# The script's own header comment, from its second line down to `set -euo`, is its usage.
fleet_usage() {
  sed -n '2,/^set -euo/s/^# \{0,1\}//p' "$0" >&2
  exit 2
}

# fleet_command ARGS...: the command word into $cmd and, for add-robot and remove-robot, the
# robot's name into $name; the arguments after them into the array fleet_args.
fleet_command() {
  cmd=${1:-} name=""
  [ -n "$cmd" ] || fleet_usage
  shift
  if [ "$cmd" = add-robot ] || [ "$cmd" = remove-robot ]; then
    name=${1:-}
    [ -n "$name" ] || fleet_usage
    shift
  fi
  # shellcheck disable=SC2034 # read by the calling script
  fleet_args=("$@")
}

# fleet_parse_options "NAME... FLAG!..." ARGS...: each `--NAME VALUE` sets the variable NAME
# (dashes read as underscores), each `--FLAG` sets FLAG to 1; anything else prints the usage.
fleet_parse_options() {
  local allowed=" ${1//[[:space:]]/ } " opt
  shift
  while [ $# -gt 0 ]; do
    opt=${1#--}
    if [ "$opt" != "$1" ] && [[ $allowed == *" $opt! "* ]]; then
      printf -v "${opt//-/_}" 1
      shift
    elif [ "$opt" != "$1" ] && [[ $allowed == *" $opt "* ]] && [ $# -ge 2 ]; then
      printf -v "${opt//-/_}" '%s' "$2"
      shift 2
    else
      fleet_usage
    fi
  done
}

# fleet_require VALUE REGEX MESSAGE: dies with MESSAGE unless VALUE matches.
fleet_require() {
  [[ $1 =~ $2 ]] || fleet_die "$3"
}

fleet_require_server_id() {
  if ! [[ $1 =~ ^[1-9][0-9]{0,9}$ ]] || [ "$1" -gt 4294967295 ]; then
    fleet_die "$2: a server id, 1 .. 4294967295"
  fi
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

# The same, kept out of this server's binary log: the fleet's own bookkeeping and account
# statements must never reach a server that replicates from this one.
fleet_sql_local() {
  fleet_sql "SET SESSION sql_log_bin = 0; $1"
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

# Replaces the file $1 with standard input, atomically and readable by the server (mode $2,
# default 0644), so a crash never leaves a half-written file that stops the server.
fleet_write_file() {
  local path=$1 mode=${2:-0644} dir tmp
  dir=$(dirname "$path")
  mkdir -p "$dir"
  tmp=$(mktemp "$dir/.velgar-fleet.XXXXXX")
  cat >"$tmp"
  chmod "$mode" "$tmp"
  mv -f "$tmp" "$path"
}

# One field of SHOW SLAVE STATUS (empty when replication is not configured).
fleet_slave_field() {
  mariadb -e 'SHOW SLAVE STATUS\G' | sed -n "s/^ *$1: //p"
}

# Work to do when the script ends, however it ends (an error, a signal, a normal exit): the
# last registered runs first, and each gets the exit status.
fleet_exit_hooks=()
fleet_at_exit() {
  if [ ${#fleet_exit_hooks[@]} -eq 0 ]; then
    trap fleet_run_exit_hooks EXIT
    trap 'exit 129' HUP
    trap 'exit 130' INT
    trap 'exit 143' TERM
  fi
  fleet_exit_hooks+=("$1")
}
fleet_run_exit_hooks() {
  local status=$? i
  trap - EXIT HUP INT TERM
  for ((i = ${#fleet_exit_hooks[@]} - 1; i >= 0; i--)); do
    "${fleet_exit_hooks[i]}" "$status" || true
  done
  exit "$status"
}

# A private scratch directory for this run ($fleet_scratch_dir), removed when the script ends.
fleet_scratch() {
  fleet_scratch_dir=$(mktemp -d "${TMPDIR:-/tmp}/velgar-fleet.XXXXXX")
  chmod 0700 "$fleet_scratch_dir"
  fleet_at_exit fleet_remove_scratch
}
fleet_remove_scratch() { rm -rf "$fleet_scratch_dir"; }
