# corvane-bot smoke run: a few players for a few seconds against the host
# built by the linux stage, once plain, once with permessage-deflate and once
# with only a sample of the players decoding (and against the side-by-side
# peer when the web stage has installed its packages); exit code 0 and a sane
# --json.
source scripts/lib/servers.sh
bin=${CORVANE_BIN:-build/ci/bin}
build_missing corvane-bot corvane-host
out=build/bot-smoke
mkdir -p "$out"

smoke() {
  local name=$1 pid=$2 port=$3
  shift 3
  wait_port "$port" "$pid"
  "$bin/corvane-bot" --url "ws://127.0.0.1:$port/ws" --users 8 --rate 10 --duration 3 --ramp 0.5 \
    --server-pid "$pid" --json "$out/$name.json" --report "$out/$name.html" "$@"
  local json=$out/$name.json
  [ "$(json_number "$json" users_entered)" = 8 ] || { echo "$name: not every player entered" >&2; return 1; }
  local sent answered frames
  sent=$(json_number "$json" moves_sent)
  answered=$(json_number "$json" moves_answered)
  frames=$(json_number "$json" frames_received)
  # 8 players at 10 actions/s, 90 % moves, for 3 s: about 216 moves, of
  # which only the decoding players' are checked.
  [ "$sent" -ge $((100 * $(json_number "$json" users_decoding) / 8)) ] && [ "$sent" = "$answered" ] || { echo "$name: moves sent $sent, answered $answered" >&2; return 1; }
  [ "$frames" -ge $((sent * 8)) ] || { echo "$name: only $frames frames for $sent moves" >&2; return 1; }
  grep -q '"ok": true' "$json"
  grep -q '<svg' "$out/$name.html"
}

port=$(free_port)
"$bin/corvane-host" --listen "127.0.0.1:$port" --log-level warn >"$out/host.log" 2>&1 &
host=$!
trap 'stop_server $host' EXIT
smoke host "$host" "$port"
# Compressed: every player agreed, and far fewer bytes came than were decoded.
smoke host-deflate "$host" "$port" --deflate
json=$out/host-deflate.json
[ "$(json_number "$json" deflate_agreed)" = 8 ] || { echo "host-deflate: compression not agreed" >&2; exit 1; }
awk -v w="$(json_number "$json" wire_bytes_per_user_s)" -v d="$(json_number "$json" decoded_bytes_per_user_s)" \
  'BEGIN { exit !(w > 0 && w * 3 < d) }' || { echo "host-deflate: wire bytes not below a third of decoded" >&2; exit 1; }
# Two of the eight decode: their moves are checked, the other six players'
# moves are counted apart, and every player's frames are still counted.
smoke host-sample "$host" "$port" --deflate --decode-sample 2
json=$out/host-sample.json
[ "$(json_number "$json" users_decoding)" = 2 ] && [ "$(json_number "$json" moves_sent_unchecked)" -gt "$(json_number "$json" moves_sent)" ] ||
  { echo "host-sample: moves of the players outside the sample not counted apart" >&2; exit 1; }
stop_server "$host"
trap - EXIT

if command -v node >/dev/null && [ -d node_modules/ws ]; then
  port=$(free_port)
  node bench/peer/server.js --port "$port" >"$out/peer.log" 2>&1 &
  peer=$!
  trap 'stop_server $peer' EXIT
  smoke peer "$peer" "$port"
  stop_server "$peer"
  trap - EXIT
fi
echo "bot smoke: ok (results in $out)"
