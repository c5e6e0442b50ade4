#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over the sources of the given folders, default every
# layer; fails on any finding. Needs a configured build for compile_commands.json:
#   scripts/tidy.sh [build-dir] [folder...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
folders=("$@")
if [ ${#folders[@]} -eq 0 ]; then
    folders=(platform foundation commlib webserver registry httpclient controls app cli)
fi
if [ ! -f "$build_dir/compile_commands.json" ]; then
    echo "no $build_dir/compile_commands.json: configure first (cmake --preset default)" >&2
    exit 2
fi
mapfile -t files < <(git ls-files "${folders[@]/%//*.cpp}")
# The build's warning list is GCC's; clang does not know some of its options and need not.
printf '%s\n' "${files[@]}" |
    xargs -P"$(nproc)" -n4 clang-tidy -p "$build_dir" --quiet --extra-arg=-Wno-unknown-warning-option
echo "clang-tidy: ${#files[@]} files clean"
