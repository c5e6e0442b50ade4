#!/usr/bin/env bash
# Installs every Debian package the build and the tests need (web_bench's comparison with nginx
# wants nginx-light as well, and skips it when absent). Package names given as arguments are
# installed too.
# Idempotent and non-interactive; runs apt-get update at most once per call.
set -euo pipefail

packages=(
    g++ cmake make ninja-build pkgconf
    libjsoncpp-dev rapidjson-dev libcurl4-openssl-dev
    qt6-base-dev
    libgtest-dev libgmock-dev
    curl openssl python3 procps
    clang-format clang-tidy
)
packages+=("$@")  # what a caller needs besides, e.g. scripts/fuzz.sh its compiler and runtimes

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
