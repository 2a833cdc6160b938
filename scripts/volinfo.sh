#!/usr/bin/env bash
# Sets up, builds, and prints this machine's volume table through
# windows.volumes (arguments are passed to volinfo: --json, -v, PATH...).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(bash "$root/scripts/build.sh" | tail -n 1)
PYTHONPATH="$build/python-linux" exec /usr/bin/python2.7 -B "$root/tools/volinfo.py" "$@"
