#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over every source file of
# src/, using the compile commands of the test build (build/). Fails on any
# finding.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ! -f build/compile_commands.json ]]; then
  cmake -S . -B build -DPARCELWISE_TESTS=ON >/dev/null
  cmake --build build -j"$(nproc)"
fi
tidy=$(command -v clang-tidy || command -v clang-tidy-14)
find src -name '*.cpp' -print0 | xargs -0 -n 4 -P "$(nproc)" "$tidy" -p build --quiet 2>/dev/null
