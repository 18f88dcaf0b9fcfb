#!/usr/bin/env bash
# Installs what is missing, builds Parcelwise with its tests and runs them all.
# Set PARCELWISE_SANITIZE=1 for an AddressSanitizer + UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test
dir=build
opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCELWISE_TESTS=ON)
if [[ "${PARCELWISE_SANITIZE:-0}" == "1" ]]; then
  dir=build-asan
  opts=(-DCMAKE_BUILD_TYPE=Debug -DPARCELWISE_TESTS=ON -DPARCELWISE_SANITIZE=ON)
fi
cmake -S . -B "$dir" "${opts[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
# libpst's own leaks are not ours to report (see the file).
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
cd "$dir"
ctest --output-on-failure -j"$(nproc)" --timeout 600
