#!/usr/bin/env bash
# Installs what is missing, builds Parcelwise and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCELWISE_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"
exec build/bin/parcelwise "$@"
