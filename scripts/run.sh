#!/usr/bin/env bash
# Installs the dependencies, builds, and starts the program.
# Without arguments, on a desktop (DISPLAY or WAYLAND_DISPLAY set) it starts the desktop program;
# without a display it says so in one line and serves the example site (examples/site) through the
# server "example" until Ctrl-C: defined on first use on port 8080, or on a free port when 8080 is
# taken (it says which). With arguments it runs the command-line front with them, e.g.:
#   scripts/run.sh add --name site --port 8081 --folder ~/www
# The program names itself "scripts/run.sh" in its hints, so a suggested command can be typed as is.
# The set-up and the build print only when they do something (QV_VERBOSE=1: always), and only to
# standard error, so a pipe from "scripts/run.sh list" sees only the list.
set -euo pipefail
cd "$(dirname "$0")/.."
self=scripts/run.sh
build_dir=${QV_BUILD_DIR:-build}
verbose=${QV_VERBOSE:-0}

scripts/setup.sh >&2
if [ "$verbose" = 1 ] || [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
# Builds target, showing the build's lines only when it does something (the build re-runs CMake
# itself when a CMake file changed).
build() {
    if [ "$verbose" = 1 ]; then
        cmake --build "$build_dir" -j"$(nproc)" --target "$1" >&2
        return
    fi
    cmake --build "$build_dir" -j"$(nproc)" --target "$1" 2>&1 |
        { grep -v -e "Re-checking globbed directories" -e "no work to do" || true; } >&2
}

if [ $# -eq 0 ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
    build qvwebserver
    exec "$build_dir/bin/qvwebserver"
fi

build qvwebserver-cli
cli="$build_dir/bin/qvwebserver-cli"
if [ $# -gt 0 ]; then
    exec -a "$self" "$cli" "$@"
fi

port_taken() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1])'
}
echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): serving examples/site with the server \"example\" instead." >&2
read -r port state < <("$cli" list 2>/dev/null | awk 'NR > 1 && $2 == "example" { print $3, $4 }') || true
if [ -z "${port:-}" ]; then
    port=${QV_EXAMPLE_PORT:-8080}
    if port_taken "$port"; then
        wanted=$port
        port=$(free_port)
        echo "Port $wanted is taken: the example server gets port $port (another: $self edit example --port P)." >&2
    fi
    "$cli" add --name example --port "$port" --folder examples/site >&2
elif [ "$state" = Stop ] && [ "$port" != 0 ] && port_taken "$port"; then
    wanted=$port
    port=$(free_port)
    echo "Port $wanted is taken: the example server moves to port $port (another: $self edit example --port P)." >&2
    "$cli" edit example --port "$port" >&2
fi
exec -a "$self" "$cli" run example
