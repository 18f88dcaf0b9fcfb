#!/usr/bin/env bash
# Configures and compiles (does not run) every libFuzzer target, with clang,
# in build-fuzz/. Only the fuzz targets and the libraries they drive are
# built: no windows, no tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test --fuzz
dir=${PARCELWISE_FUZZ_BUILD:-build-fuzz}
opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
      -DPARCELWISE_FUZZ=ON -DPARCELWISE_TESTS=OFF -DPARCELWISE_WERROR="${PARCELWISE_WERROR:-OFF}")
if command -v ccache >/dev/null; then
  opts+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" "${opts[@]}" >/dev/null
mapfile -t targets < <(cmake --build "$dir" --target help |
  sed -n 's/^\.\.\. \(fuzz_[a-z0-9_]*\|make_dbx_seeds\)$/\1/p' | grep -v '_autogen$' | sort -u)
if ((${#targets[@]} == 0)); then
  echo "build-fuzz.sh: no fuzz target found" >&2
  exit 1
fi
echo "Fuzz targets: ${targets[*]}"
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"
