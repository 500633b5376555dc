#!/usr/bin/env bash
# Measures the agent's performance next to its floors under Wine and writes docs/PERFORMANCE.md.
# Run by hand (a few minutes); not part of the test command.
#
#   bench/run.sh [--requests N] [--starts N] [--idle-seconds N]
#
# Builds into build/bench-*: the MinSizeRel agent, the host tools and the benchmark's own
# Windows programs. Uses its own Wine environment (VORNA_RUN_DIR, default /tmp/vorna-bench-run),
# brought up and taken down by the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

configure() {  # build dir, source dir, cmake args...
    local dir=$1 src=$2
    shift 2
    [ -f "$dir/build.ninja" ] || cmake -S "$src" -B "$dir" -G Ninja "$@" >/dev/null
}
build() {  # build dir, targets...
    local dir=$1
    shift
    if ! ninja -C "$dir" "$@" >"$dir.log" 2>&1; then
        tail -n 30 "$dir.log"
        echo "bench: build failed in $dir" >&2
        exit 1
    fi
}

# Where the kernel runs no 32-bit programs, the 64-bit test build is measured (scripts/lib/wine.sh).
# shellcheck source=scripts/lib/wine.sh
. scripts/lib/wine.sh
cpu=i686
win=build/bench-win32
tools=build/bench-tools
if ! vorna_wine32_runs; then
    echo "bench: this machine cannot run 32-bit programs; measuring the 64-bit test build" \
        "under 64-bit Wine" >&2
    vorna_use_wine64 "$root"
    cpu=x86_64
    win=build/bench-win64
    tools=build/bench-tools64
fi
toolchain=$root/cmake/mingw-$cpu.cmake
configure build/bench-host . -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure "$win" . -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_TOOLCHAIN_FILE="$toolchain"
configure "$tools" bench -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_TOOLCHAIN_FILE="$toolchain"
build build/bench-host vorna_access_server vorna_config
build "$win" VornaAgent vorna_engine_bench vorna_driver
build "$tools"

export VORNA_RUN_DIR=${VORNA_RUN_DIR:-/tmp/vorna-bench-run}
exec python3 bench/bench.py \
    --agent "$win/platform/win32/VornaAgent.exe" \
    --tools build/bench-host/tools \
    --fixtures tests/fixtures \
    --floor "$tools/floor_client.exe" \
    --trivial "$tools/trivial.exe" \
    --driver "$tools/bench_driver.exe" \
    --engine "$win/bench/engine/engine_bench.exe" \
    --post-driver "$win/tests/e2e/vorna_driver.exe" \
    --out docs/PERFORMANCE.md "$@"
