#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for the given number of
# seconds (default 30), starting from the small corpora kept in the repository. Installs clang
# and its fuzzing runtime first when they are missing.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-30}"
cd "$here"
scripts/setup.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja --log-level=WARNING \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOV_FUZZ=ON -DKOV_TESTS=OFF -DKOV_GUI=OFF
cmake --build build-fuzz -j"${KOV_JOBS:-2}" --target fuzz_targets
for target in build-fuzz/fuzz/*_fuzz; do
  name="$(basename "$target")"
  seed="tests/${name%%_*}/corpus"
  [ "$name" = command_parser_fuzz ] && seed="tests/terminal/corpus"
  work="build-fuzz/corpus/$name"
  mkdir -p "$work"
  [ -d "$seed" ] && cp -n "$seed"/* "$work"/ 2>/dev/null || true
  echo "-- $name for ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1 "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$work" 2>&1 | tail -n 12
done
