# The library and its unit tests as 32-bit Linux programs: the data model of
# the Windows DLL (4-byte pointers, size_t and long), run for real under
# qemu-i386. The programs link statically, so no i386 sysroot is needed.
set -euo pipefail
scripts/deps build i386

cmake --preset i386 >/dev/null
cmake --build --preset i386
probe=build/i386/bin/host_test
if ! file -b "$probe" | grep -q '^ELF 32-bit.*Intel 80386'; then
  echo "$probe is not a 32-bit i386 program: $(file -b "$probe")" >&2
  exit 1
fi
ctest --preset i386
