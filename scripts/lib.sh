# shellcheck shell=bash
# What the scripts share: the project's root, root rights for apt-get, the Debian packages,
# configuring and building a build folder (through ccache), phase times, processes started and
# stopped by their pid, a local Icecast2 server, and waits with time limits. Sourced, not run.

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="${JOBS:-$(nproc)}"  # JOBS=n: fewer, on a machine shared with others

step() { printf '\n=== %s\n' "$*"; }

# The project's version, as CMakeLists.txt sets it.
project_version() {
  sed -n 's/^project(transcode VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt"
}

# ---- packages -------------------------------------------------------------------------------

# apt-get needs root: "sudo" in front of it for anyone else.
if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi

# apt_get option...: apt-get as root, asking nothing.
apt_get() { "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2> /dev/null | grep -q 'install ok installed'
}

# apt_install package...: installs those of the packages that are missing; with none missing it
# does not even ask the archive for its package lists.
apt_install() {
  local missing=() package
  for package in "$@"; do package_installed "$package" || missing+=("$package"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  step "Installing ${missing[*]}"
  apt_get update
  apt_get install -y --no-install-recommends "${missing[@]}"
}

# Every package the build, the tests, the benchmarks, the demo and the package checks need
# (scripts/install-deps), unless SKIP_INSTALL=1.
install_deps_unless_skipped() {
  if [ "${SKIP_INSTALL:-0}" != 1 ]; then "$root/scripts/install-deps"; fi
}

# ---- checks ---------------------------------------------------------------------------------

failures=0

# check "what" command...: runs the command, says ok or FAILED, and counts a failure.
check() {
  local what="$1"
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

# ---- builds ---------------------------------------------------------------------------------

# Compilers run through ccache when it is installed. The paths it hashes are made relative to the
# root, and the working folder is left out, so that two build folders (the tests' and the
# package's) and two clones share their results; a build's debug information may then name the
# other folder as the one it was compiled in.
compiler_launcher() {
  if command -v ccache > /dev/null; then
    echo "env;CCACHE_BASEDIR=$root;CCACHE_NOHASHDIR=1;ccache"
  fi
}

# configure_build folder [cmake option...]: configures a RelWithDebInfo build of the project in the
# folder; its output goes to folder/configure.log, shown when it fails.
configure_build() {
  local dir="$1" launcher
  shift
  launcher="$(compiler_launcher)"
  mkdir -p "$dir"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_C_COMPILER_LAUNCHER=$launcher" "-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher" "$@" \
    > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log" >&2; return 1; }
}

# build_targets folder [target...]: builds the targets (all when none is named) on every core.
build_targets() {
  local dir="$1"
  shift
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  cmake --build "$dir" -j "$jobs" "${targets[@]}"
}

# ---- phase times ----------------------------------------------------------------------------

phase_times=()
phase_running=""
phase_started=0

minutes_seconds() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# timed name command...: runs the command and prints, and keeps for phase_summary, its wall time.
# The command runs as any other (not as a condition), so that "set -e" stops it at its first
# failure; phase_summary, run on exit, then names the phase that failed.
timed() {
  phase_running="$1"
  phase_started=$SECONDS
  shift
  "$@"
  local took=$((SECONDS - phase_started))
  phase_times+=("$(printf '%-8s %s' "$phase_running" "$(minutes_seconds "$took")")")
  echo "=== $phase_running took $(minutes_seconds "$took")"
  phase_running=""
}

phase_summary() {
  local line
  echo "=== phase times"
  for line in "${phase_times[@]}"; do echo "    $line"; done
  if [ -n "$phase_running" ]; then
    echo "    $phase_running failed after $(minutes_seconds $((SECONDS - phase_started)))"
  fi
}

# ---- processes ------------------------------------------------------------------------------

started_pids=()

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

# ---- waits ----------------------------------------------------------------------------------

# wait_until seconds command...: runs the command every 0.1 s until it succeeds; fails when it
# has not within the time.
wait_until() {
  local seconds="$1" i
  shift
  for ((i = 0; i < seconds * 10; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

wait_for_file() {
  wait_until "$2" test -s "$1" || { echo "timed out waiting for $1" >&2; return 1; }
}

process_ended() { ! kill -0 "$1" 2> /dev/null; }

# wait_for_exit pid seconds: true once the process has ended (and is reaped).
wait_for_exit() {
  wait_until "$2" process_ended "$1" || return 1
  wait "$1" 2> /dev/null || true
}

# icecast_lists port [mount]: the Icecast2 server on the port answers its status page (and lists
# the mount there).
icecast_lists() {
  local status
  status="$(curl -fsS -m 2 "http://127.0.0.1:$1/status-json.xsl" 2> /dev/null)" || return 1
  [ -z "${2:-}" ] || grep -qF "$2" <<< "$status"
}

# wait_for_mount port mount seconds: a source is on the mount.
wait_for_mount() {
  wait_until "$3" icecast_lists "$1" "$2" ||
    { echo "timed out waiting for mount $2 on port $1" >&2; return 1; }
}

# ---- configurations -------------------------------------------------------------------------

# set_config_key file key value: gives the key that value, in its line, or in a new last line.
set_config_key() {
  if grep -q "^$2=" "$1"; then sed -i "s|^$2=.*|$2=$3|" "$1"; else echo "$2=$3" >> "$1"; fi
}

# ---- a local Icecast2 server ----------------------------------------------------------------

icecast_source_password="demo-source"
icecast_admin_password="demo-admin"

icecast_answers_or_ended() { icecast_lists "$1" || process_ended "$icecast_pid"; }

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
  if wait_until 10 icecast_answers_or_ended "$port" && icecast_lists "$port"; then return 0; fi
  echo "Icecast2 did not start:" >&2
  cat "$dir/log/console.log" "$dir/log/error.log" >&2 2> /dev/null || true
  return 1
}
