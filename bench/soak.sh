#!/usr/bin/env bash
# Builds kovbridge (Release) and the soak test, then soaks the program: eight bridged channels
# with traffic both ways, clients and consoles coming and going, devices hung up and restarted.
#   bench/soak.sh            # 30 minutes, JSON to bench/soak-results.json
#   bench/soak.sh 5          # 5 minutes
#   bench/soak.sh 0.5 --rate 64 --json /tmp/soak.json   # further arguments go to the soak tool
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$here/build-bench"
minutes="30"
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+([.][0-9]+)?$ ]]; then
  minutes="$1"
  shift
fi

cmake -S "$here" -B "$build" -G Ninja --log-level=WARNING -DCMAKE_BUILD_TYPE=Release -DKOV_GUI=OFF \
  -DKOV_TESTS=OFF -DKOV_BENCH=ON
ninja -C "$build" -j2 kovbridge soak

cd "$here"
echo "soak of $minutes minutes; machine: $(nproc) CPUs, $(uname -sr)"
exec "$build/bench/soak" --kovbridge "$build/kovbridge" --minutes "$minutes" "$@"
