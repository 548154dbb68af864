#!/usr/bin/env bash
# Builds kovbridge (Release) and the whole-program benchmark, then measures kovbridge, socat and
# ser2net bridging pseudo-terminals to TCP. Extra arguments go to the benchmark, for example:
#   bench/run.sh                                  # everything, JSON to bench/results.json
#   bench/run.sh --subjects kovbridge --repeat 1  # kovbridge alone, one run of each phase
#   bench/run.sh --subjects kovbridge,kov-rfc2217 --phases one  # raw and rfc2217 throughput
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$here/build-bench"

# socat and ser2net are the programs compared against (Debian packages).
"$here/scripts/setup.sh" socat ser2net

cmake -S "$here" -B "$build" -G Ninja --log-level=WARNING -DCMAKE_BUILD_TYPE=Release -DKOV_GUI=OFF \
  -DKOV_TESTS=OFF -DKOV_BENCH=ON
ninja -C "$build" -j2 kovbridge bridge_bench

cd "$here"
echo "machine: $(nproc) CPUs, $(uname -sr), load average $(cut -d' ' -f1-3 /proc/loadavg)"
exec "$build/bench/bridge_bench" --kovbridge "$build/kovbridge" "$@"
