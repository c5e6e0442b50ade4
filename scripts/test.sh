#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs the whole test suite.
# Extra arguments are passed to cmake's configure step (for example -DQV_SANITIZE_THREAD=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build_dir=${QV_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" --timeout 600
