# The container image as an operator builds and runs it with Debian's podman:
# the Debian base images made locally (scripts/container-base),
# deploy/Dockerfile built, one container serving a short bot run and
# stopping on SIGTERM with exit code 0, then two worlds and Redis in
# containers on one podman network, matchmaking players across both worlds.
# Where podman cannot run containers, one line says so and the stage passes.
source scripts/lib/servers.sh
if [ "$(id -u)" -ne 0 ]; then
  echo "container stage skipped: podman runs containers here only as root"
  exit 0
fi
scripts/deps build container
bin=${CORVANE_BIN:-build/ci/bin}
if [ ! -x "$bin/corvane-bot" ]; then
  cmake --preset ci >/dev/null
  cmake --build --preset ci --target corvane-bot
fi
out=build/container
mkdir -p "$out"
rm -f "$out"/*.json "$out"/*.log

# runc, as crun refuses hybrid cgroups; limits no higher than this shell's
# hard ones, which root may not raise here, and than the 32768 processes
# podman starts its runtime with.
podman=(podman --runtime runc --cgroup-manager cgroupfs)
limits=()
nofile=$(ulimit -Hn)
[ "$nofile" = unlimited ] || limits+=(--ulimit "nofile=$nofile:$nofile")
nproc=$(ulimit -Hu)
[ "$nproc" = unlimited ] || [ "$nproc" -gt 32768 ] && nproc=32768
limits+=(--ulimit "nproc=$nproc:$nproc")

tag=corvane-ci-$$
work=$(mktemp -d)
cleanup() {
  local names
  names=$("${podman[@]}" ps -a --filter "name=^$tag-" --format '{{.Names}}' 2>/dev/null || true)
  [ -z "$names" ] || "${podman[@]}" rm -f -t 0 $names >/dev/null 2>&1 || true
  "${podman[@]}" network rm -f "$tag" >/dev/null 2>&1 || true
  "${podman[@]}" rmi -f "localhost/$tag-probe" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Can podman run a container at all? A probe image of this machine's own
# /bin/true and the libraries it needs answers that in a second.
mkdir "$work/probe"
for f in /bin/true $(ldd /bin/true | grep -o '/[^ ]*'); do cp --parents -L "$f" "$work/probe"; done
tar -C "$work/probe" -cf "$work/probe.tar" .
if ! why=$("${podman[@]}" import --quiet "$work/probe.tar" "$tag-probe" 2>&1 >/dev/null) \
   || ! why=$("${podman[@]}" run --rm --network none "${limits[@]}" "$tag-probe" /bin/true 2>&1); then
  echo "container stage skipped: podman cannot run containers here: $(head -1 <<<"$why")"
  exit 0
fi

start=$SECONDS
scripts/container-base
echo "base images: $((SECONDS - start)) s"
start=$SECONDS
"${podman[@]}" build --pull=never "${limits[@]}" --build-arg JOBS=2 -f deploy/Dockerfile -t corvane-host . \
  >"$out/build.log" 2>&1 || { tail -30 "$out/build.log" >&2; echo "the image did not build" >&2; exit 1; }
size=$("${podman[@]}" image inspect --format '{{.Size}}' corvane-host)
echo "image corvane-host: $((size / 1000000)) MB, built in $((SECONDS - start)) s"

# Starts a container of the image in the background, its port 7780 published
# on loopback port PORT: run_host NAME PORT [podman run flags] -- [host flags]
run_host() {
  local name=$1 port=$2; shift 2
  local flags=()
  while [ "$1" != -- ]; do flags+=("$1"); shift; done
  shift
  "${podman[@]}" run -d --name "$tag-$name" "${limits[@]}" -p "127.0.0.1:$port:7780" "${flags[@]}" \
    corvane-host "$@" >/dev/null
}

# Waits for /healthz on the port, for at most 10 s.
wait_healthy() {
  local name=$1 port=$2
  for _ in $(seq 1 100); do
    [ "$(curl -s -m 1 "http://127.0.0.1:$port/healthz" 2>/dev/null)" = ok ] && return 0
    sleep 0.1
  done
  echo "$name: no /healthz after 10 s:" >&2
  "${podman[@]}" logs "$tag-$name" >&2
  return 1
}

# SIGTERM (the image's stop signal) ends the host with exit code 0 and
# "stopped" as its last line.
stop_host() {
  local name=$1 code last
  "${podman[@]}" stop -t 10 "$tag-$name" >/dev/null
  code=$("${podman[@]}" inspect --format '{{.State.ExitCode}}' "$tag-$name")
  "${podman[@]}" logs "$tag-$name" >"$out/$name.log" 2>&1
  last=$(tail -1 "$out/$name.log")
  [ "$code" = 0 ] || { echo "$name: exit code $code after SIGTERM" >&2; cat "$out/$name.log" >&2; return 1; }
  [[ "$last" == *" info stopped" ]] || { echo "$name: last line is not \"stopped\": $last" >&2; return 1; }
}

# ---- one container: every flag after the image name, --listen included ----
port=$(free_port)
t0=$(date +%s%N)
run_host one "$port" -- --listen 0.0.0.0:7780 --max-users 20 --log-level info
wait_healthy one "$port"
echo "container serving after $(( ($(date +%s%N) - t0) / 1000000 )) ms"
grep -q 'module /opt/corvane/lib/corvane/libcorvane.so, web root /opt/corvane/share/corvane/web' \
  <("${podman[@]}" logs "$tag-one" 2>&1)
[ "$("${podman[@]}" exec "$tag-one" id -un)" = corvane ] || { echo "the host does not run as corvane" >&2; exit 1; }
page=$(curl -sf -m 5 "http://127.0.0.1:$port/")
[[ "$page" == *"<html"* ]] || { echo "one: no page at /" >&2; exit 1; }
json=$out/one.json
"$bin/corvane-bot" --url "ws://127.0.0.1:$port/ws" --users 8 --rate 10 --duration 3 --ramp 0.5 --quiet \
  --server-pid "$("${podman[@]}" inspect --format '{{.State.Pid}}' "$tag-one")" --json "$json"
[ "$(json_number "$json" users_entered)" = 8 ] || { echo "one: not every player entered" >&2; exit 1; }
sent=$(json_number "$json" moves_sent)
[ "$sent" -ge 100 ] && [ "$sent" = "$(json_number "$json" moves_answered)" ] \
  || { echo "one: moves sent $sent, not all answered" >&2; exit 1; }
grep -q '"ok": true' "$json"
stop_host one
echo "one container: served 8 players, stopped on SIGTERM with exit code 0"

# ---- a fleet: Redis and two worlds of 2 seats on one podman network ----
mkdir "$work/redis"
cat >"$work/redis/Dockerfile" <<'EOF'
FROM debian:bookworm-slim
RUN apt-get update -qq \
 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends redis-server >/dev/null \
 && rm -rf /var/lib/apt/lists/*
USER redis
ENTRYPOINT ["redis-server", "--bind", "0.0.0.0", "--protected-mode", "no", "--save", "", "--appendonly", "no"]
EOF
"${podman[@]}" build --pull=never "${limits[@]}" -t corvane-test-redis "$work/redis" >"$out/redis-build.log" 2>&1 \
  || { tail -30 "$out/redis-build.log" >&2; exit 1; }
"${podman[@]}" network create "$tag" >/dev/null
"${podman[@]}" run -d --name "$tag-redis" --network "$tag" "${limits[@]}" corvane-test-redis >/dev/null
redis_ip=$("${podman[@]}" inspect --format "{{(index .NetworkSettings.Networks \"$tag\").IPAddress}}" "$tag-redis")
# A world whose Redis does not answer at start exits 2: Redis first.
for _ in $(seq 1 100); do
  [ "$("${podman[@]}" exec "$tag-redis" redis-cli ping 2>/dev/null)" = PONG ] && break
  sleep 0.1
done
ports=()
for i in 1 2; do
  port=$(free_port)
  run_host "world-$i" "$port" --network "$tag" -- --redis "redis://$redis_ip:6379" --world "world-$i" \
    --public-url "ws://127.0.0.1:$port/ws" --max-users 2 --seat-ttl 30
  ports+=("$port")
done
for i in 1 2; do wait_healthy "world-$i" "${ports[i - 1]}"; done
# Every world is listed by every host within a heartbeat or two.
for _ in $(seq 1 50); do
  lobby=$(curl -s -m 1 "http://127.0.0.1:${ports[1]}/worlds" || true)
  [[ "$lobby" == *'"world-1"'*'"world-2"'* ]] && break
  sleep 0.1
done
[[ "$lobby" == *'"world-1"'*'"world-2"'* ]] || { echo "fleet: the lobby lacks a world: $lobby" >&2; exit 1; }

# Asked in turn of both hosts, matchmaking fills the fuller world first:
# two seats in world-1, two in world-2, then none.
expected=(world-1 world-1 world-2 world-2)
bots=()
for n in 0 1 2 3 4; do
  answer=$(curl -s -m 5 -X POST -w ' %{http_code}' "http://127.0.0.1:${ports[n % 2]}/matchmake")
  if [ "$n" -eq 4 ]; then
    [ "${answer##* }" = 503 ] || { echo "fleet: a fifth seat in two full worlds: $answer" >&2; exit 1; }
    break
  fi
  world=$(sed -n 's/.*"world":"\([^"]*\)".*/\1/p' <<<"$answer")
  url=$(sed -n 's/.*"url":"\([^"]*\)".*/\1/p' <<<"$answer")
  seat=$(sed -n 's/.*"seat":"\([^"]*\)".*/\1/p' <<<"$answer")
  [ "$world" = "${expected[n]}" ] || { echo "fleet: seat $n in '$world', not ${expected[n]}: $answer" >&2; exit 1; }
  # Each seat is used on its own world, whichever host gave it out.
  "$bin/corvane-bot" --url "$url" --users 1 --token "$seat" --rate 5 --duration 1 --ramp 0 --quiet \
    --json "$out/seat-$n.json" >/dev/null &
  bots+=($!)
done
for pid in "${bots[@]}"; do wait "$pid"; done
for n in 0 1 2 3; do
  [ "$(json_number "$out/seat-$n.json" users_entered)" = 1 ] || { echo "fleet: seat $n did not log in" >&2; exit 1; }
done
for i in 1 2; do
  consumed=$(curl -s -m 5 "http://127.0.0.1:${ports[i - 1]}/metrics" | sed -n 's/^corvane_fleet_seats_consumed_total \([0-9]*\)$/\1/p')
  [ "$consumed" = 2 ] || { echo "fleet: world-$i consumed ${consumed:-no} seats, not 2" >&2; exit 1; }
  stop_host "world-$i"
done
echo "fleet in containers: 4 seats matchmade across 2 worlds through Redis, both stopped with exit code 0"
