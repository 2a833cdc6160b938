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
