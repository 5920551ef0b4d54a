#!/usr/bin/env bash
# bench_report_idle.sh [--quick] [--idle-seconds S] [--windows N] [--compare-with TOOL]
# What reporting costs an idle robot: config_center watching for drift (drift_policy
# restore, the default) with `velgar-fleet robot report` beside it, against the same node
# alone, in alternating windows of the same run. Each window is the CPU time (every thread's,
# from /proc/PID/task/*/schedstat) the processes used from one second after the reporter's
# first report (or the node's ready line) until S seconds later, as a share of one core.
# Target: reporting within 1.2x of the node alone, or under 0.3 % of a core where the node
# alone is below that. --compare-with TOOL (another velgar-fleet, an older checkout's) adds
# a window of the node with that reporter to each round.
# The reporter needs a fleet server to report to: this environment's own MariaDB is made one
# (velgar-fleet server setup, TLS with a certificate made here), and the node reads its items
# from the same server. Run inside scripts/isolated.sh (bench.sh does).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=20 windows=3 other=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) seconds=5 windows=2; shift ;;
    --idle-seconds) seconds=$2; shift 2 ;;
    --windows) windows=$2; shift 2 ;;
    --compare-with) other=$2; shift 2 ;;
    *) echo "usage: bench_report_idle.sh [--quick] [--idle-seconds S] [--windows N] [--compare-with TOOL]" >&2; exit 2 ;;
  esac
done
[ -n "${CONFIG_CENTER_ISOLATED:-}" ] || { echo "bench_report_idle.sh: run it in scripts/isolated.sh" >&2; exit 2; }

echo "idle robot with reporting: config_center and velgar-fleet robot report beside the node alone"
work=$(mktemp -d)
pids=()
finish() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ ns += $1 } END { printf "%d", ns }'; }
wait_for() {
  local _
  for _ in $(seq 300); do grep -qs "$1" "$2" && return 0; sleep 0.1; done
  echo "bench_report_idle.sh: no '$1' in $2:" >&2
  cat "$2" >&2
  exit 1
}
fleet() { "$root/fleet/velgar-fleet" "$@"; }

# A CA and a certificate for 127.0.0.1, where the reporter reaches the server.
(
  cd "$work"
  ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=bench CA" -keyout ca.key -out ca.pem
  printf 'subjectAltName = IP:127.0.0.1\n' >server.ext
  openssl req "${ec[@]}" -subj "/CN=bench fleet" -keyout server.key -out server.csr
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile server.ext -out server.pem
  chmod 0600 ./*.key
) >"$work/openssl.out" 2>&1 || { cat "$work/openssl.out" >&2; exit 1; }
fleet server setup --cert "$work/server.pem" --key "$work/server.key" \
  --cnf "$ISOLATED_DB_CONF_DIR/60-velgar-fleet.cnf" --restart-cmd db-restart >/dev/null
# The node reads the same server over plain TCP on 127.0.0.1 as on a robot, so this server
# does not require TLS of every session as a fleet server does; the report account still
# requires it (REQUIRE SSL), and the reporter refuses to go on without it.
sed -i '/^require_secure_transport/d' "$ISOLATED_DB_CONF_DIR/60-velgar-fleet.cnf"
db-restart >/dev/null
fleet server add-reporter bench_robot --from 127.0.0.1 --host 127.0.0.1 --port 3306 \
  --ca "$work/ca.pem" --out "$work/report.cnf" >/dev/null

# A robot's usual items: parameters of one node and two files.
mariadb ROBOT -e "INSERT INTO global_config (name, value, node_name, config_type) VALUES
  ('max_speed', '1.5', 'bench_arm', 1), ('mode', 'auto', 'bench_arm', 1),
  ('limits.yaml', 'limit: 1', '', 2), ('tool.yaml', 'tool: gripper', '', 2)"
param_target --name bench_arm --double max_speed=0.0 --string mode=idle >"$work/arm.out" 2>&1 &
pids+=("$!")
wait_for ready "$work/arm.out"
config_center >"$work/node.out" 2>&1 &
node=$!
pids+=("$node")
wait_for "Config center ready" "/opt/velgar/logs/config_center/config_center_log_file_$(date +%F)"
wait_for "set bench_arm.mode" "$work/arm.out"

# One window over $seconds s: the CPU of all the processes given, then of the last one alone,
# as % of one core.
window() {
  local before=0 after=0 last0 last1 pid
  sleep 1
  for pid in "$@"; do before=$((before + $(cpu_ns "$pid"))); done
  last0=$(cpu_ns "${!#}")
  sleep "$seconds"
  for pid in "$@"; do after=$((after + $(cpu_ns "$pid"))); done
  last1=$(cpu_ns "${!#}")
  awk -v all=$((after - before)) -v last=$((last1 - last0)) -v s="$seconds" \
    'BEGIN { printf "%.4f %.4f\n", 100 * all / 1e9 / s, 100 * last / 1e9 / s }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One window of the node with reporter $1 (a velgar-fleet) beside it, from its first report
# on: prints the share of both, then of the reporter alone.
with_reporter() {
  : >"$work/report.out"
  "$1" robot report --credentials "$work/report.cnf" >"$work/report.out" 2>&1 &
  local reporter=$!
  pids+=("$reporter")
  wait_for "report: sent" "$work/report.out"
  window "$node" "$reporter"
  # It sleeps until an event: SIGTERM must still end it at once (rclpy wakes it).
  kill -TERM "$reporter"
  local _
  for _ in $(seq 50); do kill -0 "$reporter" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$reporter" 2>/dev/null; then
    echo "bench_report_idle.sh: $1 robot report did not end within 5 s of SIGTERM" >&2
    kill -KILL "$reporter"
    exit 1
  fi
  wait "$reporter" 2>/dev/null || true
}

alone=() reporting=() reporter_only=() others=() other_only=()
for w in $(seq "$windows"); do
  read -r share _ < <(window "$node")
  alone+=("$share")
  read -r share own < <(with_reporter "$root/fleet/velgar-fleet") || exit 1
  reporting+=("$share") reporter_only+=("$own")
  line="  window $w: node alone ${alone[-1]} %, node and reporter $share % of a core (the reporter $own %)"
  if [ -n "$other" ]; then
    read -r share own < <(with_reporter "$other") || exit 1
    others+=("$share") other_only+=("$own")
    line+="; with $other: $share % (its reporter $own %)"
  fi
  echo "$line"
done
a=$(printf '%s\n' "${alone[@]}" | median)
r=$(printf '%s\n' "${reporting[@]}" | median)
p=$(printf '%s\n' "${reporter_only[@]}" | median)
verdict=$(awk -v a="$a" -v r="$r" 'BEGIN {
  if (r <= 1.2 * a) print "met (within 1.2x)"; else if (a < 0.3 && r < 0.3) print "met (under 0.3 %)";
  else print "NOT met" }')
echo
echo "| idle robot, CPU of one core (median of $windows windows of $seconds s) | node and reporter" \
  "| node alone (baseline) | ratio | the reporter itself | target: within 1.2x, or under 0.3 % |"
echo "|---|---|---|---|---|---|"
printf '| drift watching on, velgar-fleet robot report | %s %% | %s %% | %s | %s %% | %s |\n' \
  "$r" "$a" "$(awk -v a="$a" -v r="$r" 'BEGIN { printf "%.2fx", (a > 0 ? r / a : 0) }')" "$p" "$verdict"
if [ -n "$other" ]; then
  printf '| the same with %s | %s %% | | | %s %% | |\n' "$other" \
    "$(printf '%s\n' "${others[@]}" | median)" "$(printf '%s\n' "${other_only[@]}" | median)"
fi
