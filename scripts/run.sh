#!/usr/bin/env bash
# Sets up, builds and runs the headless KOV Bridge in the foreground, in the given working
# directory (default: the current directory; created when missing), where BridgeConfig.sys and
# BridgePorts.conf are read.
#   1. installs the Debian packages that building the program needs (scripts/setup.sh);
#   2. configures the build folder build/ when it is new: the program alone, without the tests
#      and the desktop program (scripts/test.sh turns those on in the same folder);
#   3. builds the kovbridge target only;
#   4. runs build/kovbridge in the working directory until Ctrl-C or SIGTERM.
# KOV_BUILD_DIR names another build folder, KOV_JOBS the number of compile jobs (default 2).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KOV_BUILD_DIR:-$here/build}"
workdir="${1:-$PWD}"
mkdir -p "$workdir"
workdir="$(cd "$workdir" && pwd)"

"$here/scripts/setup.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja --log-level=WARNING -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKOV_TESTS=OFF -DKOV_GUI=OFF
elif [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" --log-level=WARNING
fi
cmake --build "$build" -j"${KOV_JOBS:-2}" --target kovbridge

cd "$workdir"
echo "Running $build/kovbridge in $workdir (console: telnet localhost 8800; Ctrl-C ends it)"
exec "$build/kovbridge"
