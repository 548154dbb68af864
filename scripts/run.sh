#!/usr/bin/env bash
# Sets up, builds and runs the headless KOV Bridge in the given working directory (default: the
# current directory), where BridgeConfig.sys and BridgePorts.conf are read.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
workdir="$(cd "${1:-$PWD}" && pwd)"
"$here/scripts/setup.sh"
cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" -j2
cd "$workdir"
exec "$here/build/kovbridge"
