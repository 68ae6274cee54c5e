# The i386 Debian root in which wine32 runs 32-bit Windows programs. Source
# it; nothing runs on its own.
#
# The root is built without running any i386 code: debootstrap's first stage
# downloads the packages, and each is unpacked with dpkg-deb, so no
# maintainer script runs. The one step of a maintainer script that wine
# needs is done by hand below. The root is kept under build/ and rebuilt when
# its key (the suite, the mirror, the package list, the archive's version of
# wine and this recipe) changes.

win32_packages=(wine32 locales)
# The Unix locales wine is started in: each gives wine its Windows locale and
# so its ANSI code page (en_US: 1252, zh_CN: 936).
win32_locales=(en_US.UTF-8 zh_CN.UTF-8)

# Prints "MIRROR SUITE" of the Debian archive apt on this machine uses: the
# first source that serves the release this machine runs.
win32_archive() {
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  {
    if [ -f /etc/apt/sources.list ]; then
      awk -v s="$codename" '$1 == "deb" { sub(/ \[[^]]*\]/, ""); if ($3 == s) { print $2, $3; exit } }' /etc/apt/sources.list
    fi
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      # deb822: stanzas separated by blank lines.
      awk -v s="$codename" '
        /^[ \t]*$/ { if (uri != "" && suites ~ "(^| )" s "( |$)" && types ~ /(^| )deb( |$)/) { print uri, s; exit }
                     uri = suites = types = ""; next }
        /^URIs:/ { uri = $2 } /^Suites:/ { $1 = ""; suites = $0 } /^Types:/ { $1 = ""; types = $0 }
        END { if (uri != "" && suites ~ "(^| )" s "( |$)" && types ~ /(^| )deb( |$)/) print uri, s }' "$f"
    done
  } | head -n 1
}

# The key the root is kept under.
win32_root_key() {
  local archive=$1
  {
    echo "$archive"
    echo "${win32_packages[*]} ${win32_locales[*]}"
    # wine32 and wine64 come from one source package, so the archive's
    # wine64 names the version of wine32 debootstrap would fetch.
    apt-cache policy wine64 | awk '/Candidate:/ { print $2 }'
    declare -f win32_build_root
  } | sha256sum | cut -c1-16
}

# Builds the root in $1 (removing whatever is there) from "MIRROR SUITE".
win32_build_root() {
  local root=$1 mirror=${2% *} suite=${2#* }
  rm -rf "$root"
  mkdir -p "$root"
  local includes
  includes=$(IFS=,; echo "${win32_packages[*]}")
  if ! debootstrap --foreign --arch=i386 --variant=minbase --include="$includes" \
      "$suite" "$root" "$mirror" >"$root.log" 2>&1; then
    tail -n 20 "$root.log" >&2
    echo "debootstrap could not fetch an i386 $suite root from $mirror (log: $root.log)" >&2
    return 1
  fi
  local deb
  for deb in "$root"/var/cache/apt/archives/*.deb; do
    dpkg-deb -x "$deb" "$root"
  done
  # What libwine's maintainer script would do: wine's builtin zlib1.dll is
  # libz-mingw-w64's DLL marked as builtin in its DOS stub. Without it wine
  # finds no zlib1.dll and cannot load kernel32.dll.
  local zlib=$root/usr/i686-w64-mingw32/lib/zlib1.dll
  local out=$root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
  if [ ! -f "$zlib" ]; then
    echo "the i386 root has no $zlib to make wine's builtin zlib1.dll from" >&2
    return 1
  fi
  rm -f "$out"
  {
    head -c 64 "$zlib"
    printf 'Wine builtin DLL'
    head -c 16 /dev/zero
    tail -c +97 "$zlib"
  } >"$out"
  rm -f "$root"/var/cache/apt/archives/*.deb
}

# Runs the stage's checks in the root at $1. Call it in a mount namespace of
# its own: it mounts the kernel's file systems and the source tree (at its
# own path) into the root and unmounts them on every way out.
win32_run_checks() {
  win32_root=$1
  win32_mounts=()
  trap win32_cleanup EXIT
  trap 'exit 1' INT TERM HUP
  local root=$1
  mkdir -p "$root$PWD"
  mount -t proc proc "$root/proc" && win32_mounts+=("$root/proc")
  mount --bind /dev "$root/dev" && win32_mounts+=("$root/dev")
  mount -t tmpfs tmpfs "$root/tmp" && win32_mounts+=("$root/tmp")
  mount --bind "$PWD" "$root$PWD" && win32_mounts+=("$root$PWD")

  local locale
  for locale in "${win32_locales[@]}"; do
    if ! win32_chroot /usr/bin/locale -a | grep -qix "${locale/UTF-8/utf8}"; then
      win32_chroot /usr/bin/localedef -i "${locale%%.*}" -f "${locale#*.}" "$locale"
    fi
  done

  # One wine server for the whole run, as in the windows stage, which stays a
  # minute after its last program should this script be killed; the prefix
  # is made or brought up to date, with wine's own output in a file.
  mkdir -p "$root/root/wine"
  win32_chroot /usr/lib/wine/wineserver -p60
  if ! scripts/lib/wine32 wineboot --init </dev/null >build/wine32-boot.log 2>&1; then
    cat build/wine32-boot.log >&2
    echo "wine32 could not set up its prefix in $root/root/wine" >&2
    return 1
  fi

  echo "-- mingw32 unit tests, code page 1252"
  ctest --preset mingw32-tests
  echo "-- code-page tests, code page 936"
  CORVANE_WINE_LANG=zh_CN.UTF-8 ctest --preset mingw32-tests -R 'CodePage'
  echo "-- the shipped corvane.dll in a 32-bit host"
  scripts/lib/wine32 build/mingw32-tests/bin/dll_host.exe build/mingw32/bin/corvane.dll tests/vectors/dll-session.txt
  echo "build/mingw32/bin/corvane.dll: the session of tests/vectors/dll-session.txt, byte for byte, and unloaded"
  win32_serve_players
}

# The players of the load bot and Chromium's page played on the 32-bit
# corvane-host.exe, run from the unpacked Windows package in
# $WIN32_PACKAGE with the corvane.dll beside it; the bot is the Linux one
# in $WIN32_BOT. WIN32_USERS, WIN32_RATE and WIN32_SECONDS set the load.
win32_serve_players() {
  source scripts/lib/servers.sh
  local out=build/win32-host port host
  rm -rf "$out"
  mkdir -p "$out"
  port=$(free_port)
  echo "-- $WIN32_PACKAGE/corvane-host.exe under wine32 on port $port"
  scripts/lib/wine32 "$WIN32_PACKAGE/corvane-host.exe" --listen "127.0.0.1:$port" \
    >"$out/module.log" 2>"$out/host.log" &
  host=$!
  win32_host_pid=$host
  trap 'kill -KILL "$win32_host_pid" 2>/dev/null || true; win32_cleanup' EXIT
  wait_port "$port" "$host" || { cat "$out/host.log" >&2; return 1; }
  if ! grep -q "module .*corvane\.dll, web root .*web)" "$out/host.log"; then
    cat "$out/host.log" >&2
    echo "the packaged host did not take the corvane.dll and web folder beside it" >&2
    return 1
  fi

  # At the edges, one line and exit code 2: a second host on the same port,
  # and a fleet, which the Windows host does not have.
  local code=0
  scripts/lib/wine32 "$WIN32_PACKAGE/corvane-host.exe" --listen "127.0.0.1:$port" >/dev/null 2>"$out/second.log" || code=$?
  if [ "$code" != 2 ] || ! grep -q "^corvane-host: cannot listen on 127.0.0.1:$port" "$out/second.log"; then
    cat "$out/second.log" >&2
    echo "a second corvane-host.exe on port $port did not stop with one line and exit code 2 (exit code $code)" >&2
    return 1
  fi
  code=0
  scripts/lib/wine32 "$WIN32_PACKAGE/corvane-host.exe" --listen "127.0.0.1:$(free_port)" --redis redis://127.0.0.1:6379 \
    >/dev/null 2>"$out/redis.log" || code=$?
  if [ "$code" != 2 ] || ! grep -q '^corvane-host: --redis: ' "$out/redis.log"; then
    cat "$out/redis.log" >&2
    echo "corvane-host.exe --redis did not stop with one line and exit code 2 (exit code $code)" >&2
    return 1
  fi

  CORVANE_HOST_URL="http://127.0.0.1:$port" CORVANE_SCREENSHOT_DIR=$out \
    node --test tests/web/e2e/first-move.test.js >"$out/browser.log" 2>&1 ||
    { cat "$out/browser.log" >&2; echo "Chromium could not play the page from the Windows host" >&2; return 1; }
  echo "Chromium: the page from the Windows host logged in, entered and moved by a click"

  "$WIN32_BOT" --url "ws://127.0.0.1:$port/ws" --users "$WIN32_USERS" --rate "$WIN32_RATE" \
    --duration "$WIN32_SECONDS" --ramp 2 --server-pid "$host" --json "$out/bot.json" >"$out/bot.log" 2>&1 ||
    { tail -n 20 "$out/bot.log" >&2; echo "corvane-bot against the Windows host failed" >&2; return 1; }
  local sent answered
  sent=$(json_number "$out/bot.json" moves_sent)
  answered=$(json_number "$out/bot.json" moves_answered)
  if [ "$(json_number "$out/bot.json" users_entered)" != "$WIN32_USERS" ] || [ "$sent" -lt 100 ] || [ "$sent" != "$answered" ]; then
    tail -n 12 "$out/bot.log" >&2
    echo "corvane-bot: moves sent $sent, answered $answered" >&2
    return 1
  fi
  grep -A12 '^corvane-bot:' "$out/bot.log" | grep -E 'players|moves |CPU|result'

  # /metrics, with the module's lines counted as they passed the stdout drain.
  local metrics
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3
  metrics=$(cat <&3)
  exec 3<&-
  local lines
  lines=$(awk '$1 == "corvane_stdout_lines_total" { print $2 }' <<<"${metrics//$'\r'/}")
  if [ -z "$lines" ] || [ "$lines" -lt "$sent" ] || [ "$(grep -c 'OnRecv_MoveTo' "$out/module.log")" -lt "$sent" ]; then
    echo "the module's lines did not reach standard output: /metrics says ${lines:-nothing}" >&2
    return 1
  fi

  # Ctrl+C (wine turns SIGINT into it): every connection closed, the module
  # stopped, exit code 0.
  kill -INT "$host"
  local code=0
  for _ in $(seq 1 100); do
    kill -0 "$host" 2>/dev/null || break
    sleep 0.1
  done
  wait "$host" || code=$?
  if [ "$code" -ne 0 ] || ! grep -q 'received Ctrl+C' "$out/host.log" || ! tail -n 1 "$out/host.log" | grep -q 'stopped'; then
    tail -n 5 "$out/host.log" >&2
    echo "corvane-host.exe did not stop cleanly on Ctrl+C (exit code $code)" >&2
    return 1
  fi
  echo "corvane-host.exe: served, /metrics counted $lines module lines, stopped on Ctrl+C"
}

# Runs a program in the root with a clean environment.
win32_chroot() {
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin chroot "$win32_root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root \
    WINEPREFIX=/root/wine "$@"
}

win32_cleanup() {
  win32_chroot /usr/lib/wine/wineserver -k 2>/dev/null || true
  local i
  for ((i = ${#win32_mounts[@]} - 1; i >= 0; i--)); do
    umount "${win32_mounts[i]}" 2>/dev/null || umount -l "${win32_mounts[i]}"
  done
}
