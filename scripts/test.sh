#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh [build-dir] [extra cmake arguments...]
# Missing Debian packages are installed first when run as root.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
shift || true

bash "$here/scripts/ensure-packages.sh" \
    cmake ninja-build g++ libgtest-dev libgmock-dev libxml2-dev \
    chromium php-cgi xvfb xauth xdotool libx11-dev fonts-dejavu-core

cmake -S "$here" -B "$build" -G Ninja -DQUIVO_WERROR=ON "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure
