#!/usr/bin/env bash
# Installs a built tree into a temporary prefix, builds the widgets example
# from its own folder against that install (find_package(quivo)), starts it on
# a free loopback port and asks it for its page once. An install rule that
# forgets a header, a library or a dependency fails here.
#   scripts/outside-build.sh <build-dir>
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?usage: scripts/outside-build.sh <build-dir>}"

bash "$here/scripts/ensure-packages.sh" cmake ninja-build g++ python3 curl

work="$(mktemp -d)"
pid=""
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$here/examples/widgets" -B "$work/widgets-build" -G Ninja \
    -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/widgets-build" -j "$(nproc)"

# A free port: bind port 0 on loopback and read what the kernel chose.
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
mkdir "$work/run"
printf '<quivoone><quivooneserver address="127.0.0.1" port="%s"/></quivoone>\n' "$port" \
    > "$work/run/quivoone.xml"
# Without input the program serves until it is killed (trap above).
(cd "$work/run" && exec "$work/widgets-build/widgets" </dev/null >/dev/null) &
pid=$!

page=""
for _ in $(seq 100); do
    if page="$(curl -fsS "http://127.0.0.1:$port/" 2>/dev/null)"; then break; fi
    kill -0 "$pid" 2>/dev/null || { echo "outside build: the example ended before it answered" >&2; exit 1; }
    sleep 0.1
done
if ! grep -q "quivoid" <<<"$page"; then
    echo "outside build: the example's page did not come back:" >&2
    printf '%s\n' "$page" >&2
    exit 1
fi
echo "outside build: the example built against the installed package answered on port $port"
