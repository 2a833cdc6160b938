#!/usr/bin/env bash
# Makes sure this machine runs 32-bit x86 Linux programs, which Wine's loader
# for 32-bit Windows programs is (in the Wine root, scripts/wine-root.sh,
# where the probe runs too: the host has no i386 libraries). Most kernels
# run them natively. Some have
# no 32-bit user mode (a kernel built or booted without IA-32 emulation, or
# a hypervisor that offers none): there exec() fails with "Exec format
# error", and this script has the kernel hand such programs to qemu's user
# mode emulator through binfmt_misc instead. The emulator comes from
# Debian's trixie archive (bookworm's qemu 7.2 cannot run Wine: it ignores
# MAP_FIXED_NOREPLACE, and Wine's start-up then never ends), pinned so that
# nothing else is taken from trixie.
#
#   setup-i386.sh ARCHIVE_URI    (called by setup.sh, as root, idempotent)
set -euo pipefail
archive=${1:?usage: setup-i386.sh ARCHIVE_URI}
step_prefix=setup
# shellcheck source=steps.sh
. "$(dirname "${BASH_SOURCE[0]}")/steps.sh"
# shellcheck source=apt-install.sh
. "$(dirname "${BASH_SOURCE[0]}")/apt-install.sh"
# The root's own 32-bit dynamic loader, from its libc6:i386 (which wine32 needs).
probe=/lib/i386-linux-gnu/ld-linux.so.2
launcher=(bash "$(dirname "${BASH_SOURCE[0]}")/wine-run.sh")
entry=/proc/sys/fs/binfmt_misc/volumes-i386
emulator=/usr/bin/qemu-i386

runs_i386() { "${launcher[@]}" "$probe" --version >/dev/null 2>&1; }

"${launcher[@]}" test -x "$probe" \
  || { echo "setup-i386.sh: the Wine root has no $probe (libc6:i386)" >&2; exit 1; }
if runs_i386; then
  exit 0
fi
if [ -f "$entry" ] && grep -qx enabled "$entry" && [ -x "$emulator" ]; then
  exit 0
fi
[ "$(id -u)" -eq 0 ] || { echo "setup-i386.sh: must run as root" >&2; exit 1; }

trixie_list=/etc/apt/sources.list.d/volumes-trixie.list
trixie_pin=/etc/apt/preferences.d/volumes-trixie.pref
want_list="deb $archive trixie main"
want_pin='Package: *
Pin: release n=trixie
Pin-Priority: 1'
if [ ! -f "$trixie_list" ] || [ "$(cat "$trixie_list")" != "$want_list" ] \
   || [ ! -f "$trixie_pin" ] || [ "$(cat "$trixie_pin")" != "$want_pin" ]; then
  say "adding Debian trixie ($archive), pinned so that only qemu comes from it: this kernel cannot run 32-bit x86 programs (Wine's loader)"
  echo "$want_list" > "$trixie_list"
  echo "$want_pin" > "$trixie_pin"
  # A list of another archive that fails to download is a warning there too.
  read_package_lists "trixie was added"
fi
if ! dpkg-query -W -f='${Status} ${Version}' qemu-user 2>/dev/null | grep -q 'install ok installed 1:1[0-9]'; then
  step "installing qemu's user mode emulator from trixie, to run 32-bit x86 programs" \
    env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends qemu-user/trixie
fi

if [ ! -f /proc/sys/fs/binfmt_misc/register ]; then
  step "mounting binfmt_misc, to hand 32-bit x86 programs to qemu" \
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
[ -f "$entry" ] && echo -1 > "$entry"
# ELF, 32-bit, little-endian, executable or shared object, machine i386. The
# F flag opens the emulator now, so that it is found in any mount namespace
# and inside the root, which has no emulator of its own.
echo ":volumes-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$emulator:F" \
  > /proc/sys/fs/binfmt_misc/register
runs_i386 || { echo "setup-i386.sh: 32-bit x86 programs still do not run through $emulator" >&2; exit 1; }
say "32-bit x86 programs now run through $emulator (binfmt_misc entry volumes-i386)"
