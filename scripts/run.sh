#!/usr/bin/env bash
# Installs the dependencies, builds, and starts the program.
# Without arguments, on a desktop (DISPLAY or WAYLAND_DISPLAY set) it starts the desktop program;
# without a display it says so in one line and serves the example site (examples/site) on port
# 8080 until Ctrl-C, defining the server "example" on first use. With arguments it runs the
# command-line front with them, e.g.: scripts/run.sh add --name site --port 8081 --folder ~/www
# Everything the set-up and the build print goes to standard error, so a pipe from
# "scripts/run.sh list" sees only the list.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
build_dir=${QV_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2

if [ $# -eq 0 ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
    cmake --build "$build_dir" -j"$(nproc)" --target qvwebserver >&2
    exec "$build_dir/bin/qvwebserver"
fi

cmake --build "$build_dir" -j"$(nproc)" --target qvwebserver-cli >&2
cli="$build_dir/bin/qvwebserver-cli"
if [ $# -gt 0 ]; then
    exec "$cli" "$@"
fi
echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): serving examples/site with qvwebserver-cli instead." >&2
if ! "$cli" list | awk 'NR > 1 { print $2 }' | grep -qx example; then
    "$cli" add --name example --port "${QV_EXAMPLE_PORT:-8080}" --folder examples/site
fi
exec "$cli" run example
