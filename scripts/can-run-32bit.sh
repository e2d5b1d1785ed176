#!/usr/bin/env bash
# Asks whether this machine executes 32-bit x86 programs natively, as Wine needs for the DLL.
# Exits 0 when it does; otherwise prints why on one line and exits 1.
#
# The probe is a 93-byte static ELF32 made here (exit(42) through int 0x80), so the answer
# needs no i386 package: on a machine without 32-bit execution those packages may not even
# install. A kernel built without IA-32 emulation refuses it with "Exec format error".
set -u

# An i386 handler registered with binfmt_misc (qemu-user) would run the probe, and then Wine,
# under emulation: far too slow to count as running here.
for handler in /proc/sys/fs/binfmt_misc/*i386* /proc/sys/fs/binfmt_misc/*i686*; do
  if [ -f "$handler" ] && head -n 1 "$handler" | grep -qx enabled; then
    echo "this machine runs 32-bit programs only through an emulator ($(basename "$handler"))"
    exit 1
  fi
done

probe=$(mktemp "${TMPDIR:-/tmp}/elf32-probe.XXXXXX") || { echo "cannot make the 32-bit probe"; exit 1; }
trap 'rm -f "$probe"' EXIT
{
  # ELF header: 32-bit, little-endian, executable for the 80386, entry 0x08048054.
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'
  printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000'
  printf '\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000'
  # One loadable segment: the whole file at 0x08048000, readable and executable.
  printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000'
  printf '\135\000\000\000\005\000\000\000\000\020\000\000'
  # xor ebx,ebx; mov bl,42; xor eax,eax; inc eax; int 0x80
  printf '\061\333\263\052\061\300\100\315\200'
} >"$probe"
chmod +x "$probe"

error=$("$probe" 2>&1)
code=$?
if [ "$code" -eq 42 ]; then
  exit 0
fi
error=$(tr '\n' ' ' <<<"$error" | sed -E 's/^.*: (cannot execute[^:]*: )?//; s/ +$//')
echo "this machine does not execute 32-bit programs (a 32-bit probe gave exit code $code${error:+: $error})"
exit 1
