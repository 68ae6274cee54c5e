# Resume drills with real processes: corvane-bot --chaos cuts 10 random
# connections a second without a close frame while 155 players move 5 times
# a second, and every cut player must resume with no frame lost or repeated
# (checked against a control player that is never cut), every move answered,
# and the module must see no logout but the last; then, as root, a link
# pulled inside network namespaces for 5 s: the players behind it resume
# with nothing lost. CHAOS_SECONDS (default 15) sets the chaos run's load.
source scripts/lib/servers.sh
bin=${CORVANE_BIN:-build/ci/bin}
build_missing corvane-bot corvane-host
out=build/resume-drills
mkdir -p "$out"
rm -f "$out"/*.json "$out"/*.log "$out"/*.txt

fail() { echo "$1" >&2; exit 1; }
module_lines() { grep -c "^CSvrUserNotifyHandler::$2\$" "$1" || true; }

# check NAME JSON USERS HOST_STDOUT: the bot's verdict and the module's view.
check() {
  local name=$1 json=$2 users=$3 log=$4
  grep -q '"ok": true' "$json" || fail "$name: the bot's result is not ok (see ${json%.json}.txt)"
  for key in resumes_refused resumes_abandoned frames_lost frames_repeated frames_unmatched moves_unanswered \
             users_cut_off protocol_errors; do
    [ "$(json_number "$json" "$key")" = 0 ] || fail "$name: $key is $(json_number "$json" "$key")"
  done
  [ "$(json_number "$json" frames_compared)" -gt 0 ] || fail "$name: no frames compared"
  # One login per player and one logout each, when the bot ended: the
  # module never saw a cut player leave or come back.
  local logins logouts
  logins=$(module_lines "$log" OnUserLogin)
  logouts=$(module_lines "$log" OnUserLogout)
  [ "$logins" = "$users" ] && [ "$logouts" = "$users" ] ||
    fail "$name: the module saw $logins logins and $logouts logouts for $users players"
}

# ---- chaos: 155 players, 5 moves/s, 10 cuts/s
seconds=${CHAOS_SECONDS:-15}
port=$(free_port)
# The kept frames of a player away are bounded by --send-queue: at this load
# a player receives about 1.6 MB/s, so 8 MiB holds some 5 s of them. No
# drain at the stop: a player cut in the run's last moments is still kept
# then, and a drain would wait out its window.
"$bin/corvane-host" --listen "127.0.0.1:$port" --log-level warn --send-queue 8MiB --drain-timeout 0 \
  --max-pending-per-address 1024 >"$out/chaos-host.log" 2>"$out/chaos-host.err" &
host=$!
trap 'stop_server $host' EXIT
wait_port "$port" "$host"
timeout $((seconds + 120)) "$bin/corvane-bot" --url "ws://127.0.0.1:$port/ws" --users 155 --rate 5 \
  --duration "$seconds" --ramp 2 \
  --chaos 10 --server-pid "$host" --quiet --json "$out/chaos.json" >"$out/chaos.txt" 2>&1 || true
stop_server "$host"
trap - EXIT
cat "$out/chaos.txt"
json=$out/chaos.json
[ -f "$json" ] || fail "chaos: no result (see $out/chaos.txt)"
check chaos "$json" 155 "$out/chaos-host.log"
cuts=$(json_number "$json" cuts)
[ "$cuts" -ge $((seconds * 10 * 9 / 10)) ] || fail "chaos: only $cuts cuts in $seconds s"
[ "$(json_number "$json" resumes_ok)" = "$cuts" ] || fail "chaos: $cuts cuts, $(json_number "$json" resumes_ok) resumes"
echo "chaos drill: ok ($cuts cuts, all resumed)"

# ---- a link pulled for 5 s inside network namespaces
if [ "$(id -u)" != 0 ]; then
  echo "link drill: skipped (needs root for network namespaces)"
  exit 0
fi
scripts/deps netns
source scripts/lib/netns.sh
tag=cvr$$
hostns=${tag}h
playerns=${tag}p
trap netns_cleanup EXIT
netns_add "$hostns"
netns_add "$playerns"
# Two links between the namespaces: the players behind the first one, which
# is pulled; the control player behind the second, which stays.
for n in 1 2; do
  veth_pair "$hostns" "${tag}h$n" "$playerns" "${tag}p$n" "10.214.$n"
done
port=7780
ip netns exec "$hostns" "$bin/corvane-host" --listen "0.0.0.0:$port" --log-level warn --send-queue 4MiB \
  --drain-timeout 0 --max-pending-per-address 1024 >"$out/link-host.log" 2>"$out/link-host.err" &
host=$!
pids+=("$host")
wait_port_in "$hostns" "$port"
users=40
ip netns exec "$playerns" timeout 120 "$bin/corvane-bot" --url "ws://10.214.1.1:$port/ws" \
  --control-url "ws://10.214.2.1:$port/ws" --users "$users" --rate 2 --duration 14 --ramp 1 --silence 2 --quiet \
  --json "$out/link.json" >"$out/link.txt" 2>&1 &
bot=$!
pids+=("$bot")
sleep 5
ip -n "$playerns" link set "${tag}p1" down
sleep 5
ip -n "$playerns" link set "${tag}p1" up
wait "$bot" || true
stop_server "$host"
cat "$out/link.txt"
json=$out/link.json
[ -f "$json" ] || fail "link: no result (see $out/link.txt)"
check link "$json" "$users" "$out/link-host.log"
# Every player behind the pulled link (all but the control) went silent,
# was given up and resumed.
silent=$(json_number "$json" silence_cuts)
[ "$silent" -ge $((users - 1)) ] && [ "$(json_number "$json" resumes_ok)" = "$silent" ] ||
  fail "link: $silent connections given up as silent, $(json_number "$json" resumes_ok) resumed, for $((users - 1)) players behind the link"
echo "link drill: ok ($silent players behind the pulled link resumed)"
