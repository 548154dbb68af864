#!/usr/bin/env bash
# Installs what building and running the headless KOV Bridge needs on Debian 12 (compiler, CMake,
# Ninja, libsystemd), skipping what is there. Further package names given as arguments are
# installed too: the test command adds GoogleTest, Qt 6, clang and the packaging tools, the
# benchmarks add theirs.
#   scripts/setup.sh                     # what scripts/run.sh needs
#   scripts/setup.sh socat               # and socat
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libsystemd-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
