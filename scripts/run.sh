#!/usr/bin/env bash
# Installs the dependencies, builds, and starts the program.
# Without arguments it serves the example site (examples/site) on port 8080 until Ctrl-C,
# defining the server "example" on first use. With arguments it runs the command-line front
# with them, e.g.: scripts/run.sh add --name site --port 8081 --folder ~/www
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build_dir=${QV_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target qvwebserver-cli
cli="$build_dir/bin/qvwebserver-cli"
if [ $# -gt 0 ]; then
    exec "$cli" "$@"
fi
if ! "$cli" list | awk 'NR > 1 { print $2 }' | grep -qx example; then
    "$cli" add --name example --port "${QV_EXAMPLE_PORT:-8080}" --folder examples/site
fi
exec "$cli" run example
