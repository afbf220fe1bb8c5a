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
    chromium php-cgi xvfb xauth xdotool libx11-dev fonts-dejavu-core nodejs
# npm comes with some builds of nodejs and is a package of its own in others.
command -v npm >/dev/null || bash "$here/scripts/ensure-packages.sh" npm

# The browser test's one npm package, playwright-core: it drives the system's
# Chromium and downloads no browser. Installed again only when the lock file
# changed since the last install.
browser_test="$here/examples/widgets/browser-test"
if ! cmp -s "$browser_test/package-lock.json" "$browser_test/node_modules/.installed-lock.json"; then
    (cd "$browser_test" && npm ci --no-audit --no-fund)
    cp "$browser_test/package-lock.json" "$browser_test/node_modules/.installed-lock.json"
fi

cmake -S "$here" -B "$build" -G Ninja -DQUIVO_WERROR=ON "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure
