#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [build-dir] [seconds-per-target]
# Each target starts from its seed corpus fuzz/corpus/<name>/ when there is
# one; any crash, leak or sanitizer report fails the run. The reader target
# covers all five grammars: an input's first byte picks one, so its seeds
# start with '0' (xml) to '4' (a style rule).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-fuzz}"
seconds="${2:-60}"
bash "$here/scripts/ensure-packages.sh" clang libclang-rt-14-dev cmake ninja-build

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja \
    -DQUIVO_FUZZ=ON -DQUIVO_TESTS=OFF -DQUIVO_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
shopt -s nullglob
for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name="$(basename "$target")"; name="${name#fuzz_}"
    work="$build/corpus-$name"
    mkdir -p "$work"
    seeds=()
    [ -d "$here/fuzz/corpus/$name" ] && seeds+=("$here/fuzz/corpus/$name")
    echo "== fuzzing $name for ${seconds}s"
    log="$build/fuzz-$name.log"
    # The progress lines go to a log; on a finding its tail tells what failed.
    if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$build/crash-$name-" "$work" "${seeds[@]}" >"$log" 2>&1; then
        tail -n 80 "$log"
        echo "fuzz target $name failed; the input is under $build/crash-$name-*" >&2
        exit 1
    fi
    grep -aE '^Done [0-9]+ runs' "$log" || tail -n 3 "$log"
done
