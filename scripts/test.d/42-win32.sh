# The 32-bit Windows target run for real: the mingw32 unit tests, the
# code-page tests under code pages 1252 and 936, the shipped corvane.dll
# loaded by a 32-bit host (tests/dll), and corvane-host.exe from the Windows
# package serving the Linux corvane-bot and Chromium, all under wine32 in an
# i386 Debian root. The root is built once from the archive apt uses here,
# without running any i386 code, and kept in build/win32-root while its key
# holds.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "the win32 stage needs root: it runs debootstrap, mount and chroot" >&2
  exit 1
fi
scripts/deps windows win32
source scripts/lib/win32-root.sh

root=$PWD/build/win32-root
archive=$(win32_archive)
if [ -z "$archive" ]; then
  echo "no Debian source for this release in /etc/apt/sources.list or /etc/apt/sources.list.d/*.sources" >&2
  exit 1
fi
key=$(win32_root_key "$archive")
if [ "$(cat "$root.key" 2>/dev/null)" != "$key" ] || [ ! -x "$root/usr/lib/wine/wine" ]; then
  echo "building the i386 root with wine32 from ${archive% *} (${archive#* })"
  rm -f "$root.key"
  win32_build_root "$root" "$archive"
  echo "$key" >"$root.key"
fi

if ! chroot "$root" /usr/bin/true 2>/dev/null; then
  # Only a qemu of version 8 or later runs wine: older ones hang on its
  # address-space reservations.
  qemu=$(apt-cache policy qemu-user-static | awk '/Candidate:/ { print $2 }')
  if [ -z "$qemu" ] || [ "$qemu" = "(none)" ]; then
    why="the configured archive has no qemu-user-static"
  elif dpkg --compare-versions "$qemu" lt 1:8~; then
    why="the configured archive's qemu-user-static ($qemu) is older than 8"
  else
    why="running it through qemu-i386 ($qemu) is not set up"
  fi
  echo "skipped: this kernel runs no 32-bit x86 program natively, and $why"
  exit 0
fi

cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32
cmake --preset mingw32-tests >/dev/null
cmake --build --preset mingw32-tests

# The Windows package, unpacked: the host is run from it, not from the build.
rm -f build/mingw32/corvane-*-win32.zip
(cd build/mingw32 && cpack -G ZIP >/dev/null)
rm -rf build/win32-package
mkdir -p build/win32-package
(cd build/win32-package && cmake -E tar xf ../mingw32/corvane-*-win32.zip)
export WIN32_PACKAGE
WIN32_PACKAGE=$(echo build/win32-package/corvane-*-win32)
# The load: 155 players at 5 moves/s (docs/performance.md), for long enough
# that a stall of the host under wine would show.
export WIN32_USERS=${WIN32_USERS:-155} WIN32_RATE=${WIN32_RATE:-5} WIN32_SECONDS=${WIN32_SECONDS:-8}
export WIN32_BOT=${CORVANE_BIN:-build/ci/bin}/corvane-bot
if [ ! -x "$WIN32_BOT" ]; then
  # Run on its own, this stage builds the bot the linux stage would have.
  scripts/deps build
  cmake --preset ci >/dev/null
  cmake --build --preset ci --target corvane-bot
fi
scripts/deps web
[ -d node_modules/playwright-core ] || npm ci --no-audit --no-fund

# The rest runs in a mount namespace of its own, so that the mounts into the
# root go with it whatever happens; the trap unmounts them before that.
exec unshare --mount --propagation private bash -euo pipefail -c 'source scripts/lib/win32-root.sh; win32_run_checks "$1"' win32 "$root"
