# The Windows target. The 32-bit DLL that hosts load must export exactly
# KVServerStart and need no runtime DLL beside it, and so must the 32-bit
# corvane-host.exe built with it. The Windows code paths
# (critical section, timer queue, module path, code pages) run for real in the
# 64-bit build of the library and its unit tests, under wine64; the 32-bit
# ones run under wine32 in the win32 stage.
set -euo pipefail
scripts/deps windows

cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32
dll=build/mingw32/bin/corvane.dll
dump=$(i686-w64-mingw32-objdump -p "$dll")

exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { exit } on { print $NF }' <<<"$dump")
if [ "$exports" != "KVServerStart" ]; then
  echo "$dll exports '$(echo $exports)'; expected KVServerStart alone" >&2
  exit 1
fi
imports=$(awk '/DLL Name:/ { print $3 }' <<<"$dump" | sort -u)
for name in $imports; do
  case "${name,,}" in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | advapi32.dll | ntdll.dll | ws2_32.dll) ;;
    *) echo "$dll needs $name beside it; the runtime must be linked statically" >&2; exit 1 ;;
  esac
done
if ! grep -q 'InitializeCriticalSectionAndSpinCount' <<<"$dump"; then
  echo "$dll does not take its lock from a Windows critical section" >&2
  exit 1
fi
# Shipped without DWARF; the debug information lives in corvane.dll.debug.
sections=$(i686-w64-mingw32-objdump -h "$dll" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
if grep -q '^\.debug_' <<<"$sections"; then
  echo "$dll carries debug sections: $(grep '^\.debug_' <<<"$sections" | tr '\n' ' ')" >&2
  exit 1
fi
if ! grep -qx '\.gnu_debuglink' <<<"$sections" || [ ! -s "$dll.debug" ]; then
  echo "$dll has no .gnu_debuglink to a $dll.debug beside it" >&2
  exit 1
fi
echo "$dll: exports KVServerStart; imports $(echo $imports); debug information in $(basename "$dll").debug"
# The host an operator unpacks needs nothing beside it either: no C++
# runtime, thread library or zlib DLL.
exe=build/mingw32/bin/corvane-host.exe
exe_imports=$(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' | sort -u)
for name in $exe_imports; do
  case "${name,,}" in
    kernel32.dll | msvcrt.dll | ws2_32.dll | mswsock.dll | bcrypt.dll | advapi32.dll | ntdll.dll | user32.dll) ;;
    *) echo "$exe needs $name beside it; the runtime and zlib must be linked statically" >&2; exit 1 ;;
  esac
done
echo "$exe: imports $(echo $exe_imports)"

cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64
# The 64-bit host is built as well, so that it keeps building; only the
# 32-bit one is run here (in the win32 stage).
cmake --preset mingw64-host >/dev/null
cmake --build --preset mingw64-host --target corvane-host

# The same prefix and settings as the preset's emulator.
export WINEPREFIX=$PWD/build/wine WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
mkdir -p "$WINEPREFIX"
# One server for the whole run: Debian's wrapper makes it quit as soon as the
# last program exits, and the next test's start would race with its exit. A
# server left over from an interrupted run goes first.
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -p
trap '/usr/lib/wine/wineserver -k || true' EXIT
# Creates or updates the prefix (several seconds the first time) and starts
# wine's own background programs here, with their output in a file: any pipe
# they inherit stays open, and CTest would wait on its first test for ever.
boot_log=build/wine-boot.log
if ! /usr/lib/wine/wine64 wineboot --init </dev/null >"$boot_log" 2>&1; then
  cat "$boot_log" >&2
  echo "wine64 could not set up the prefix $WINEPREFIX" >&2
  exit 1
fi
ctest --preset mingw64
