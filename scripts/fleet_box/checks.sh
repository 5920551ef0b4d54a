# shellcheck shell=bash
# Checks, figures and what they look at on the robots (sourced by fleet_box.sh).
# shellcheck disable=SC2154 # box and robots are fleet_box.sh's

passed=0 failed=0 figures=() sections=()
section_name="" section_start=$SECONDS

# check WHAT COMMAND...: one line ok/FAIL, with the seconds it took when a second or more.
check() {
  local what=$1 t=$EPOCHREALTIME took
  shift
  if "$@"; then
    what="ok - $what"
    passed=$((passed + 1))
  else
    what="FAIL - $what"
    failed=$((failed + 1))
  fi
  took=$(awk -v a="$t" -v b="$EPOCHREALTIME" 'BEGIN { if (b - a >= 1) printf " [%.1f s]", b - a }')
  echo "$what$took"
}
figure() {
  echo "figure: $*"
  figures+=("$*")
}
# Starts a scenario; the seconds each took are printed at the end.
section() {
  [ -z "$section_name" ] || sections+=("$((SECONDS - section_start)) s  $section_name")
  section_name=$1 section_start=$SECONDS
  [ -z "$1" ] || echo "--- $1"
}

# Waits up to $1 seconds for the command to succeed.
wait_until() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
fails() { ! "$@" >/dev/null 2>&1; }
# Runs the command, showing its output only when it fails.
quietly() {
  local out
  out=$("$@" 2>&1) || { printf '%s\n' "$out"; return 1; }
}
# Runs the command, which must fail, with its output in $refusal.
refused() {
  if refusal=$("$@" 2>&1); then return 1; fi
}
# Runs the command, which must succeed, with its output in $refusal (for says).
answered() { refusal=$("$@" 2>&1) || { printf '%s\n' "$refusal"; return 1; }; }
says() { grep -qE -- "$1" <<<"$refusal" || { printf '%s\n' "$refusal" | sed 's/^/    /'; false; }; }
millis() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) * 1000 }'; }
# Median and maximum of the numbers on standard input.
stats() { sort -n | awk '{ v[NR] = $1 } END { printf "%s %s\n", v[int((NR + 1) / 2)], v[NR] }'; }
larger() { printf '%s\n%s\n' "$1" "$2" | sort -n | tail -n 1; }

# What robot $1's parameter node last did with parameter $2 of node $3 (default fleet_arm):
# the value set, "(unset)" for a withdrawal, "(refused)" for a refused call (a withdrawal of
# a parameter declared with a type is one), or "" when nothing yet.
param_now() {
  grep -E " (set|unset|refused) ${3:-fleet_arm}\.$2( |$)" "$box/robot$1.params" | tail -n 1 |
    sed -E -e 's/.* unset .*/(unset)/' -e 's/.* refused .*/(refused)/' -e 's/.* value="(.*)"$/\1/'
}
param_withdrawn() {
  case $(param_now "$1" "$2") in "(unset)" | "(refused)") return 0 ;; *) return 1 ;; esac
}
# When robot $1's node first received value $3 for parameter $2 (epoch seconds).
param_time() {
  grep -F " set fleet_arm.$2 type=string value=\"$3\"" "$box/robot$1.params" | head -n 1 |
    cut -d' ' -f1
}
param_is() { [ "$(param_now "$1" "$2" "${4:-}")" = "$3" ]; }
file_is() { [ "$(cat "$(configs_of "robot$1")/$2" 2>/dev/null)" = "$3" ]; }
no_file() { [ ! -e "$(configs_of "robot$1")/$2" ]; }
# Robot $4 has parameter $1 at $2 and the file limits.yaml holding $3.
has_param() { param_is "$4" "$1" "$2" && file_is "$4" limits.yaml "$3"; }
# Runs the command with each robot's number appended; fails at the first that fails.
all_robots() { all_robots_but 0 "$@"; }
all_robots_but() {
  local skip=$1 i
  shift
  for i in $(seq "$robots"); do
    [ "$i" -eq "$skip" ] || "$@" "$i" || return 1
  done
}
# The values the fleet server's global_config has, as robot $1 sees them in its own.
db_value() { sql "robot$1" "SELECT value FROM global_config WHERE name = '$2'"; }
db_value_is() { [ "$(db_value "$3" "$1")" = "$2" ]; }
refuses_edit() { ! sql "robot$1" "DELETE FROM global_config" 2>/dev/null; }
# Robot $1's change log from id $2 on: name=value, or name deleted, in order.
changes_since() {
  sql "robot$1" "SELECT GROUP_CONCAT(IF(deleted, CONCAT(name, ' deleted'), CONCAT(name, '=', value))
    ORDER BY id SEPARATOR ', ') FROM config_table_changes WHERE id > $2"
}
max_change() { sql "robot$1" "SELECT IFNULL(MAX(id), 0) FROM config_table_changes"; }
slave_field() {
  in_member "$1" mariadb -e 'SHOW SLAVE STATUS\G' | sed -nE "s/^ *$2: //p"
}
io_up() { [ "$(slave_field "robot$1" Slave_IO_Running)" = Yes ]; }
io_down() { ! io_up "$1"; }
following() { [ "$(slave_field "$1" Master_Port)" = "$2" ] && [ "$(slave_field "$1" Slave_IO_Running)" = Yes ]; }
dump_threads() {
  sql "$1" "SELECT COUNT(*) FROM information_schema.processlist WHERE command LIKE 'Binlog Dump%'"
}
dump_threads_are() { [ "$(dump_threads "$2")" -eq "$1" ]; }
status_value() { sql "$1" "SHOW GLOBAL STATUS LIKE '$2'" | cut -f2; }
binlog_pos() { sql fleet "SHOW MASTER STATUS" | cut -f2; }
threads_of() { find "/proc/$(server_pid "$1")/task" -mindepth 1 -maxdepth 1 | wc -l; }
cpu_ticks_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# Nanoseconds on CPU of every thread of process $1.
cpu_ns_of() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ ns += $1 } END { printf "%d", ns }'; }
rss_mib_of() { awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }
ticks_to_ms() { echo $(($1 * 1000 / $(getconf CLK_TCK))); }
