# Network namespaces for the drills and benchmarks that put processes behind
# links of their own. Source it, as root; nothing runs on its own. The
# namespaces made go into `namespaces`, and the callers add the processes
# they start in them to `pids`: netns_cleanup ends both.

namespaces=()
pids=()

# netns_add NAME: a namespace with its loopback up.
netns_add() {
  ip netns add "$1"
  namespaces+=("$1")
  ip -n "$1" link set lo up
}

# veth_pair NS1 DEV1 NS2 DEV2 NET: a veth pair between two namespaces, both
# ends up, NET.1/24 on DEV1 and NET.2/24 on DEV2.
veth_pair() {
  ip link add "$2" netns "$1" type veth peer name "$4" netns "$3"
  ip -n "$1" addr add "$5.1/24" dev "$2"
  ip -n "$3" addr add "$5.2/24" dev "$4"
  ip -n "$1" link set "$2" up
  ip -n "$3" link set "$4" up
}

# Stops the processes in `pids` and deletes the namespaces. Deleting a
# namespace removes its end of each veth pair, and with it the other end and
# the qdiscs on both.
netns_cleanup() {
  local pid ns
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
  namespaces=()
}

# wait_port_in NS PORT: waits until something accepts connections on
# loopback port PORT inside namespace NS, for at most ten seconds; after
# that what the caller does next finds out.
wait_port_in() {
  for _ in $(seq 1 100); do
    ip netns exec "$1" bash -c "exec 3<>/dev/tcp/127.0.0.1/$2" 2>/dev/null && return 0
    sleep 0.1
  done
}
