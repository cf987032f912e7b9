# Helpers of scripts/demo: start and stop processes by pid, a local Icecast2 server, waits with
# time limits. Sourced, not run.

started_pids=()

step() { printf '\n=== %s\n' "$*"; }

remember_pid() { started_pids+=("$1"); }

# Ends every process started here, by its pid: first politely, then for good.
stop_all() {
  local pid
  for pid in "${started_pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  sleep 1
  for pid in "${started_pids[@]}"; do kill -9 "$pid" 2> /dev/null || true; done
  for pid in "${started_pids[@]}"; do wait "$pid" 2> /dev/null || true; done
}

# The first port from $1 on where nothing listens on 127.0.0.1.
free_port() {
  local port="$1"
  while (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null; do port=$((port + 1)); done
  echo "$port"
}

wait_for_file() {
  local file="$1" seconds="$2" i
  for ((i = 0; i < seconds * 10; i++)); do
    [ -s "$file" ] && return 0
    sleep 0.1
  done
  echo "timed out waiting for $file" >&2
  return 1
}

wait_for_exit() {
  local pid="$1" seconds="$2" i
  for ((i = 0; i < seconds * 10; i++)); do
    kill -0 "$pid" 2> /dev/null || { wait "$pid" 2> /dev/null || true; return 0; }
    sleep 0.1
  done
  return 1
}

icecast_source_password="demo-source"
icecast_admin_password="demo-admin"

# Starts icecast2 on 127.0.0.1:$2 with its files in $1. Icecast refuses to run as root, so as
# root it drops to the icecast2 user (<changeowner>) after binding. Sets icecast_pid.
start_icecast() {
  local dir="$1" port="$2" owner=""
  mkdir -p "$dir/log"
  if [ "$(id -u)" -eq 0 ]; then
    owner="<changeowner><user>icecast2</user><group>$(id -gn icecast2)</group></changeowner>"
    chown -R icecast2 "$dir"
  fi
  cat > "$dir/icecast.xml" <<XML
<icecast>
  <location>loopback</location>
  <admin>demo@localhost</admin>
  <limits><clients>20</clients><sources>4</sources><burst-size>65535</burst-size>
    <source-timeout>10</source-timeout></limits>
  <authentication>
    <source-password>$icecast_source_password</source-password>
    <admin-user>admin</admin-user><admin-password>$icecast_admin_password</admin-password>
  </authentication>
  <hostname>127.0.0.1</hostname>
  <listen-socket><port>$port</port><bind-address>127.0.0.1</bind-address></listen-socket>
  <fileserve>1</fileserve>
  <paths>
    <basedir>/usr/share/icecast2</basedir><logdir>$dir/log</logdir>
    <webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot>
  </paths>
  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>2</loglevel>
  </logging>
  <security><chroot>0</chroot>$owner</security>
</icecast>
XML
  icecast2 -c "$dir/icecast.xml" > "$dir/log/console.log" 2>&1 &
  icecast_pid=$!
  remember_pid "$icecast_pid"
  local i
  for ((i = 0; i < 100; i++)); do
    if curl -fsS -m 2 "http://127.0.0.1:$port/status-json.xsl" > /dev/null 2>&1; then return 0; fi
    kill -0 "$icecast_pid" 2> /dev/null || break
    sleep 0.1
  done
  echo "Icecast2 did not start:" >&2
  cat "$dir/log/console.log" "$dir/log/error.log" >&2 2> /dev/null || true
  return 1
}
