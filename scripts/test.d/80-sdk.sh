# The SDK as its users get it: the install tree, the CMake package and the
# pkg-config file, both examples built against the installed tree (not the
# build tree), corvane-check on our module and on the example module, the
# installed host serving the example module to a player; then the Debian
# package: lintian without errors, installed, the host started as its
# system user answering /healthz, and purged again.
scripts/deps build sdk
cmake --preset ci >/dev/null
cmake --build --preset ci

work=$(mktemp -d)
prefix=$work/prefix
pids=()
installed_deb=
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$installed_deb" ]; then apt-get purge -y -qq corvane >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a host in the background with the given command, waits for its
# "listening on" line and sets $port.
start_host() {
  local log=$1; shift
  # The log exists before the first look at it, whenever the child opens it.
  : >"$log"
  "$@" --listen 127.0.0.1:0 >"$log" 2>&1 &
  pids+=($!)
  port=
  for _ in $(seq 1 100); do
    port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$log")
    [ -n "$port" ] && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "host did not start:" >&2; cat "$log" >&2
  return 1
}

stop_host() {
  local pid=${pids[-1]}
  kill -TERM "$pid"
  if ! wait "$pid"; then echo "host did not stop cleanly" >&2; return 1; fi
  unset 'pids[-1]'
}

# ---- install tree ----
cmake --install build/ci --prefix "$prefix" >/dev/null
for f in include/corvane/KVServerApi.h lib/corvane/libcorvane.so bin/corvane-host bin/corvane-check \
         share/corvane/web/index.html lib/cmake/Corvane/CorvaneConfig.cmake share/pkgconfig/corvane.pc \
         share/doc/corvane/README.md share/doc/corvane/examples/hello-module/README.md; do
  [ -e "$prefix/$f" ] || { echo "install tree lacks $f" >&2; exit 1; }
done
cflags=$(PKG_CONFIG_PATH=$prefix/share/pkgconfig pkg-config --cflags corvane)
printf '#include <corvane/KVServerApi.h>\nint main() { return KV_SERVER_START_NAME[0] == 0; }\n' \
  | g++ -std=c++20 -fsyntax-only $cflags -x c++ -
echo "install tree and pkg-config file: ok"

# ---- examples against the installed package ----
for example in hello-module minimal-host; do
  cmake -S examples/$example -B "$work/$example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Werror" >/dev/null
  cmake --build "$work/$example" >/dev/null
done
hello=$work/hello-module/libhello.so
minimal=$work/minimal-host/minimal-host
(cd "$work/hello-module" && ctest --output-on-failure)

"$prefix/bin/corvane-check" --thread-safe "$prefix/lib/corvane/libcorvane.so"
"$prefix/bin/corvane-check" --thread-safe "$hello"

# minimal-host: a greeting, and the module's timer firing on its own.
out=$( (printf '07 00 01 00 05 57 6f 72 6c 64\n'; sleep 1.3) | "$minimal" "$hello")
grep -q '^-> user 1: 07 00 01 00 1d 48 65 6c 6c 6f' <<<"$out" || { echo "minimal-host: no greeting: $out" >&2; exit 1; }
out=$( (printf '63 00 01 00\n'; sleep 1.3) | "$minimal")
grep -q '^-> user 1: 63 00 01 00' <<<"$out" || { echo "minimal-host: no EnterSceneAck: $out" >&2; exit 1; }
grep -q '^-> user 1: 63 00 02 00' <<<"$out" || { echo "minimal-host: no tick broadcast: $out" >&2; exit 1; }
echo "minimal-host: ok"

# The installed host serving the example module to a player.
start_host "$work/hello-host.log" "$prefix/bin/corvane-host" --module "$hello"
grep -q "web root $prefix/share/corvane/web)" "$work/hello-host.log"
build/ci/bin/sdk_probe exchange "$port" 7 1 "02 43 49" "Hello, CI! You are user 1."
stop_host

# ---- Debian package ----
rm -f build/ci/corvane_*.deb
(cd build/ci && cpack -G DEB >/dev/null)
deb=$(ls build/ci/corvane_*.deb)
lint=0
lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 || lint=$?
grep -v 'running with root privileges' "$work/lintian.txt" || true
[ "$lint" -eq 0 ] || { echo "lintian reports errors in $deb" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
installed_deb=$deb
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "./$deb" >/dev/null
getent passwd corvane >/dev/null || { echo "the package created no corvane user" >&2; exit 1; }
[ -f /lib/systemd/system/corvane-host.service ] && [ -f /etc/default/corvane-host ]
# As the service runs it: its user, no flags but the port. setpriv execs the
# host in place, so the signal that stops it reaches the host itself.
start_host "$work/deb-host.log" $SUDO setpriv --reuid=corvane --regid=corvane --init-groups /usr/bin/corvane-host
grep -q 'module /usr/lib/corvane/libcorvane.so, web root /usr/share/corvane/web' "$work/deb-host.log"
build/ci/bin/sdk_probe healthz "$port"
stop_host
DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -qq corvane >/dev/null
installed_deb=
if getent passwd corvane >/dev/null || [ -e /usr/bin/corvane-host ] || [ -e /etc/default/corvane-host ]; then
  echo "purging the package left the user or files behind" >&2; exit 1
fi
echo "Debian package: lintian clean, installed, served /healthz, purged"
