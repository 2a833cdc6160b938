# shellcheck shell=bash
# Sourced by the scripts that build, check and enter the Wine root: where it
# lives and what marks it complete. VOLUMES_WINE_ROOT puts it elsewhere.
#
# The root is a minimal Debian system of the project's own holding Wine
# (wine32 and wine64), so that the host needs no i386 architecture: its
# 32-bit libraries come from the root's own archive lists, always at the
# versions wine32 was built against.
wine_root=${VOLUMES_WINE_ROOT:-/var/cache/volumes-windows/wine-root}
# Written last, once everything is installed: a root without it is a build
# that was interrupted, never a complete one.
wine_root_stamp=$wine_root/.volumes-wine-root

# Why no private mount namespace can be made here, or nothing: the root's
# build and every Wine call need one, so that none of their mounts reaches
# this machine's table. A plain chroot, whose / is no mount point, cannot
# make its mounts private (unshare: "cannot change root filesystem
# propagation").
private_namespace_problem() {
  local output
  output=$(unshare --mount --propagation private -- true 2>&1) && return 0
  echo "no private mount namespace can be made here (${output:-unshare failed}); where / is not a mount point (a plain chroot), bind the system's directory onto itself before entering it"
}
