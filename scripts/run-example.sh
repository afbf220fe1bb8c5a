#!/usr/bin/env bash
# Builds quivoone and starts it serving the example folder (example/) on
# port 8000 (set in example/quivoone.xml). Stop it by typing quit or with
# Ctrl-C. Missing Debian packages are installed first when run as root.
#   scripts/run-example.sh [build-dir]
# Without a build folder named, it reuses build/, the folder scripts/test.sh
# builds into, when that exists (so nothing is built twice), and otherwise
# builds in build-example/ the libraries and the two programs, no tests:
# everything `cmake --install` puts in place, so that folder installs too.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

bash "$here/scripts/ensure-packages.sh" cmake ninja-build g++ libx11-dev php-cgi

if [ $# -gt 0 ]; then
    build="$1"
elif [ -f "$here/build/CMakeCache.txt" ]; then
    build="$here/build"
else
    build="$here/build-example"
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DQUIVO_WERROR=ON -DQUIVO_TESTS=OFF -DQUIVO_BENCH=OFF >/dev/null
fi
# XQuivoone and its front end library are two files more than quivoone,
# and the install rules need it.
cmake --build "$build" --target quivoone XQuivoone -j "$(nproc)"

cd "$here/example"
echo
echo "Open http://127.0.0.1:8000/ in a browser. Type quit (or press Ctrl-C) to stop."
echo
exec "$build/programs/quivoone"
