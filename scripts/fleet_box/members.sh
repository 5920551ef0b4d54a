# shellcheck shell=bash
# The box's members and what runs in them (sourced by fleet_box.sh). Each member (the fleet
# server, a relay, a robot) is a mount and network namespace made by isolated.sh, with its
# own 127.0.0.1, MariaDB and /opt/velgar. A member reaches another only through a link: socat
# on its own loopback (TCP) to a Unix socket in the box directory, which socat in the other
# member serves (its 127.0.0.1:3306). Cutting a link is stopping its socat.
# shellcheck disable=SC2154 # root, self, box and robots are fleet_box.sh's

members=() bg_pids=()
declare -A link_pids=() node_pid=() member_pid=()

# Starts member $1 and waits until it is up. Bootstraps run one at a time: servers
# bootstrapping side by side have been seen to trip over each other.
start_member() {
  launch_member "$1"
  wait_member "$1"
}
# Each member's server keeps its temporary files in a directory of its own: a bootstrap has
# failed when another server on the machine removed its file in the shared /tmp.
launch_member() {
  mkdir -p "$box/$1/tmp"
  env -u CONFIG_CENTER_ISOLATED TMPDIR="$box/$1/tmp" "$root/scripts/isolated.sh" "$self" \
    --member "$box/$1" $$ >"$box/$1.out" 2>&1 &
  member_pid[$1]=$!
  members+=("$1")
}
wait_member() {
  local name=$1
  until [ -s "$box/$name/pid" ] && [ -s "$box/$name/env" ] && [ -s "$box/$name/state" ]; do
    if ! kill -0 "${member_pid[$name]}" 2>/dev/null; then
      echo "member $name did not start:"
      cat "$box/$name.out"
      exit 1
    fi
    sleep 0.1
  done
}

# Becomes a command inside a member's namespaces, with the member's environment; run it in
# the background (`run_in ... &`) and $! is the command's own pid.
run_in() {
  local name=$1
  shift
  # shellcheck disable=SC2016 # expanded by the inner shell
  exec nsenter -t "$(cat "$box/$name/pid")" -m -n -- \
    bash -c '. "$0"; cd /; exec "$@"' "$box/$name/env" "$@"
}
in_member() { (run_in "$@"); }
state_of() { cat "$box/$1/state"; }
conf_of() { echo "$(state_of "$1")/my.cnf.d/60-velgar-fleet.cnf"; }
configs_of() { echo "$(state_of "$1")/velgar/configs"; }
sql() {
  local name=$1
  shift
  in_member "$name" mariadb ROBOT --batch --skip-column-names -e "$*"
}
server_pid() { cat "$(state_of "$1")/run/mariadbd.pid"; }

# Member $1 serves its database on $box/$1.sock.
serve_socket() {
  run_in "$1" setsid socat "UNIX-LISTEN:$box/$1.sock,fork,mode=0600" TCP:127.0.0.1:3306 \
    >>"$box/$1.socket.out" 2>&1 &
  link_pids[$1.sock]=$!
  wait_until 10 test -S "$box/$1.sock"
}
link_up() { in_member "$1" bash -c "exec 3<>/dev/tcp/127.0.0.1/$2" 2>/dev/null; }
# Member $1 reaches member $2's database on its own port $3 (every address of its loopback).
start_link() {
  local from=$1 to=$2 port=$3
  run_in "$from" setsid socat "TCP-LISTEN:$port,fork,reuseaddr" "UNIX-CONNECT:$box/$to.sock" \
    >>"$box/$from.link.out" 2>&1 &
  link_pids[$from-$to]=$!
  wait_until 10 link_up "$from" "$port"
}
stop_link() {
  local pid=${link_pids[$1-$2]:-}
  [ -n "$pid" ] || return 0
  kill -TERM -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  link_pids[$1-$2]=""
}
stop_links() {
  local pid
  for pid in "${link_pids[@]}"; do [ -z "$pid" ] || kill -TERM -- "-$pid" 2>/dev/null || true; done
}

start_node() {
  local i=$1
  run_in "robot$i" config_center >>"$box/robot$i.node.out" 2>&1 &
  node_pid[$i]=$!
  bg_pids+=("$!")
}
stop_node() {
  kill -TERM "${node_pid[$1]}" 2>/dev/null || true
  wait "${node_pid[$1]}" 2>/dev/null || true
}
more_ready_than() { [ "$(grep -c " ready$" "$2")" -gt "$1" ]; }
# Each line a parameter node prints, with the time it was printed.
stamp() { while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }
# Starts a parameter node on robot $1: fleet_arm, or the node and parameters given.
start_target() {
  local i=$1 ready
  shift
  [ $# -gt 0 ] || set -- --name fleet_arm --string speed=none --string mode=none
  : >>"$box/robot$i.params"
  ready=$(grep -c " ready$" "$box/robot$i.params" || true)
  run_in "robot$i" param_target "$@" > >(stamp >>"$box/robot$i.params") 2>&1 &
  bg_pids+=("$!")
  wait_until 30 more_ready_than "$ready" "$box/robot$i.params" ||
    { echo "robot$i: param_target did not start"; cat "$box/robot$i.params"; exit 1; }
}

# The CA, a certificate for the fleet server and one for the relay (both for 127.0.0.1, where
# robots reach them), and a CA that signed neither.
make_tls() {
  tls=$box/tls
  mkdir -p "$tls"
  (
    cd "$tls"
    local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=velgar fleet box CA" -keyout ca.key -out ca.pem
    openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=some other CA" -keyout other.key -out other.pem
    printf 'subjectAltName = IP:127.0.0.1\n' >server.ext
    local server
    for server in fleet relay; do
      openssl req "${ec[@]}" -subj "/CN=velgar $server" -keyout "$server.key" -out "$server.csr"
      openssl x509 -req -in "$server.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile server.ext -out "$server.pem"
    done
  ) >"$box/openssl.out" 2>&1 || { cat "$box/openssl.out"; exit 1; }
  chmod 0600 "$tls"/*.key
}
new_password() { head -c 18 /dev/urandom | base64 | tr '/+' '_-' >"$1"; }

# The fleet tool (fleet/velgar-fleet); leave() goes through the old script name, which stays
# for a release as a wrapper.
velgar_fleet() {
  local member=$1
  shift
  in_member "$member" "$root/fleet/velgar-fleet" "$@"
}
fleet_server() { velgar_fleet fleet server "$@"; }
# Joins robot $1 to the fleet server (or, with --host/--port/--user given after it, elsewhere).
join() {
  local i=$1
  shift
  velgar_fleet "robot$i" robot join --host 127.0.0.1 --port 3307 \
    --user "robot$i" --password-file "$tls/robot$i.password" --ca "$tls/ca.pem" \
    --cnf "$(conf_of "robot$i")" --connect-retry 1 --restart-cmd db-restart "$@"
}
leave() { in_member "robot$1" "$root/scripts/fleet_robot.sh" leave --cnf "$(conf_of "robot$1")"; }
