# Helpers shared by the scripts that start a game server on loopback and
# drive it with corvane-bot. Source it; nothing runs on its own.

# Builds the programs named, and the module, into build/ci when one of them
# is missing from $bin.
build_missing() {
  local prog
  for prog in "$@"; do
    if [ ! -x "$bin/$prog" ]; then
      scripts/deps build
      cmake --preset ci >/dev/null
      cmake --build --preset ci --target "$@" corvane
      return
    fi
  done
}

# A loopback port that nothing listens on right now, below the usual range
# of ephemeral ports, which the bot's own connections take from.
free_port() {
  local port
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 12000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  echo "no free loopback port found" >&2
  return 1
}

# Waits until something accepts connections on the port, for at most
# ten seconds; fails early when the process $2 has died.
wait_port() {
  local port=$1 pid=$2
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || { echo "server (pid $pid) exited before listening" >&2; return 1; }
    sleep 0.1
  done
  echo "nothing listens on port $port after 10 s" >&2
  return 1
}

# Stops a server started by the caller: SIGTERM, then SIGKILL after 5 s.
stop_server() {
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# The number after "key": in a corvane-bot JSON file.
json_number() {
  sed -n "s/^  \"$2\": \([-0-9.]*\),\{0,1\}\$/\1/p" "$1"
}
