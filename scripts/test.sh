#!/usr/bin/env bash
# Sets up, builds and runs every test:
#   1. installs what the tests need besides the program's own packages: GoogleTest, Qt 6 for the
#      desktop program, and the Debian packaging and client tools the package and README tests
#      use (lintian, dpkg-dev, telnet, netcat-openbsd, socat, iproute2, and python3-pymodbus and
#      python3-serial for the Modbus master and the rfc2217 client the tests run with the system's
#      Python);
#   2. builds everything in build/ (RelWithDebInfo, desktop program and tests included) and runs
#      all tests there with ctest, the desktop windows on Qt's offscreen platform;
#   3. builds again in build-asan/ under AddressSanitizer and UndefinedBehaviorSanitizer (without
#      the desktop program) and runs the tests again;
#   4. installs clang and its fuzzing runtime, builds the libFuzzer targets in build-fuzz/ and runs
#      each for KOV_FUZZ_SECONDS (default 30) with scripts/fuzz.sh.
# KOV_JOBS sets the number of parallel jobs (default 2).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
scripts/setup.sh googletest libgtest-dev libgmock-dev qt6-base-dev lintian dpkg-dev telnet \
  netcat-openbsd socat iproute2 python3-pymodbus python3-serial
jobs="${KOV_JOBS:-2}"

echo "== build and test"
cmake -S . -B build -G Ninja --log-level=WARNING -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DKOV_TESTS=ON -DKOV_GUI=ON
cmake --build build -j"$jobs"
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j"$jobs"

echo "== build and test under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja --log-level=WARNING -DCMAKE_BUILD_TYPE=Debug -DKOV_SANITIZE=ON \
  -DKOV_TESTS=ON -DKOV_GUI=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== fuzz targets, short runs"
scripts/fuzz.sh "${KOV_FUZZ_SECONDS:-30}"
echo "all tests passed"
