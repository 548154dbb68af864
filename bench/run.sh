#!/usr/bin/env bash
# Builds kovbridge (Release) and the whole-program benchmark, then measures kovbridge, socat and
# ser2net bridging pseudo-terminals to TCP. Extra arguments go to the benchmark, for example:
#   bench/run.sh                                  # everything, JSON to bench/results.json
#   bench/run.sh --subjects kovbridge --repeat 1  # kovbridge alone, one run of each phase
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$here/build-bench"

# socat and ser2net are the programs compared against (Debian packages).
missing=()
for p in socat ser2net; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOV_GUI=OFF -DKOV_TESTS=OFF \
  >/dev/null
ninja -C "$build" -j2 kovbridge
# The benchmark is a target of bench/CMakeLists.txt once it is listed there; until then it is
# built here, as one translation unit with no library of the project.
if ninja -C "$build" -t targets all | grep -q '^bridge_bench:'; then
  ninja -C "$build" -j2 bridge_bench
else
  c++ -std=c++20 -O2 -Wall -Wextra -o "$build/bridge_bench" "$here/bench/bridge_bench.cpp" \
    -lutil -pthread
fi

cd "$here"
echo "machine: $(nproc) CPUs, $(uname -sr), load average $(cut -d' ' -f1-3 /proc/loadavg)"
exec "$build/bridge_bench" --kovbridge "$build/kovbridge" "$@"
