#!/usr/bin/env bash
# Sets up (the main profile of setup.sh: only what the module needs), builds
# the module, and prints this machine's volume table through windows.volumes.
# Arguments are volinfo's (--json, -v, PATH...); VOLUMES_VERBOSE=1 shows the
# set-up's and the build's own output.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(bash "$root/scripts/build.sh" | tail -n 1)
PYTHONPATH="$build/python-linux" exec /usr/bin/python2.7 -B "$root/tools/volinfo.py" "$@"
