#!/usr/bin/env bash
# Installs what is missing, builds Parcelwise with its tests and runs them all.
# Set PARCELWISE_SANITIZE=1 for an AddressSanitizer + UBSan build,
# PARCELWISE_WERROR=ON to make warnings in our code errors, and
# PARCELWISE_BENCH=ON to compile the benchmarks too (they are not run).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test
dir=build
opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCELWISE_TESTS=ON)
if [[ "${PARCELWISE_SANITIZE:-0}" == "1" ]]; then
  dir=build-asan
  opts=(-DCMAKE_BUILD_TYPE=Debug -DPARCELWISE_TESTS=ON -DPARCELWISE_SANITIZE=ON)
fi
opts+=(-DPARCELWISE_WERROR="${PARCELWISE_WERROR:-OFF}" -DPARCELWISE_BENCH="${PARCELWISE_BENCH:-OFF}"
      -DPARCELWISE_BENCH_STORES="${PARCELWISE_BENCH_STORES:-ON}")
if command -v ccache >/dev/null; then
  opts+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" "${opts[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
# libpst's own leaks are not ours to report (see the file).
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
cd "$dir"
ctest --output-on-failure -j"$(nproc)" --timeout 600
