#!/usr/bin/env bash
# Installs the Debian packages that building, packaging (cpack -G DEB) and running the programs
# need. With --tests it also installs what the test suite and the checks use (GoogleTest, the
# desktop test session, minisign, the linters and validators); scripts/test.sh and .ci/run ask for
# that. Other package names given as arguments are installed too (scripts/fuzz.sh adds its compiler
# and runtimes). With --bench it adds what web_bench compares with and loads by (nginx-light, wrk);
# without them it prints our figures alone.
# Idempotent and non-interactive; runs apt-get update at most once per call.
set -euo pipefail

packages=(
    g++ cmake make ninja-build pkgconf
    libjsoncpp-dev rapidjson-dev libcurl4-openssl-dev libsodium-dev ca-certificates
    qt6-base-dev
    python3
    dpkg-dev file
    pkexec
)
test_packages=(
    libgtest-dev libgmock-dev
    curl openssl procps
    minisign
    xvfb openbox trayer xdotool
    clang-format clang-tidy
    desktop-file-utils appstream man-db
)
bench_packages=(nginx-light wrk)
for arg in "$@"; do
    if [ "$arg" = "--tests" ]; then
        packages+=("${test_packages[@]}")
    elif [ "$arg" = "--bench" ]; then
        packages+=("${bench_packages[@]}")
    else
        packages+=("$arg")
    fi
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
