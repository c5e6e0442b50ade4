#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs the whole test suite (soak tests included).
# QV_PRESET=<name> builds and tests with that CMake preset (ci, asan, tsan); otherwise the build goes
# to $QV_BUILD_DIR (default build/) and extra arguments are passed to cmake's configure step (for
# example -DQV_SANITIZE_THREAD=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
jobs=$(nproc)
if [ -n "${QV_PRESET:-}" ]; then
    cmake --preset "$QV_PRESET" "$@"
    cmake --build --preset "$QV_PRESET" -j"$jobs"
    ctest --preset "$QV_PRESET" -j"$jobs" --timeout 600
    exit 0
fi
build_dir=${QV_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=ON "$@"
cmake --build "$build_dir" -j"$jobs"
ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" --timeout 600
