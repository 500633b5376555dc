#!/usr/bin/env bash
# Builds the fuzz targets if needed, replays the saved regression inputs, then fuzzes each
# target for a bounded time on a scratch copy of its seed corpus (two at a time). Prints one
# line on success; on a crash, the target's log and the path of the input that reproduces it.
#   tests/fuzz/run_fuzzers.sh [SECONDS_PER_TARGET]     (default 15)
# Environment: FUZZ_BUILD (build directory, default build/fuzz), FUZZ_JOBS (default 2),
# FUZZ_TARGETS (space-separated subset).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-15}
build=${FUZZ_BUILD:-$root/build/fuzz}
jobs=${FUZZ_JOBS:-2}
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET]" >&2; exit 2 ;; esac

work=$(mktemp -d "${TMPDIR:-/tmp}/vorna-fuzz.XXXXXX")
cleanup() { rm -rf "$work/corpus"; }
trap cleanup EXIT

if [ ! -f "$build/build.ninja" ]; then
    if ! CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja >"$work/configure.log" 2>&1; then
        echo "fuzz: configuring $build failed:" >&2
        tail -n 40 "$work/configure.log" >&2
        exit 1
    fi
fi
if ! ninja -C "$build" >"$work/build.log" 2>&1; then
    echo "fuzz: building $build failed:" >&2
    grep -E -A5 'error|FAILED' "$work/build.log" | head -n 60 >&2
    exit 1
fi

targets=${FUZZ_TARGETS:-}
if [ -z "$targets" ]; then
    for corpus in "$here"/corpus/*/; do
        name=$(basename "$corpus")
        [ -x "$build/$name" ] && targets="$targets $name"
    done
fi

# Runs one target: its regression inputs first, then the timed fuzzing. Writes
# $work/<target>.status with "ok <runs>" or "crash <input>".
run_target() {
    local name=$1 log="$work/$1.log" binary="$build/$1"
    # Value profiles keep seeds that differ only in a compared length or value, and without
    # length control inputs may grow past the largest seed at once: boundaries such as a field's
    # width are then reached within seconds.
    local options=(-timeout=10 -rss_limit_mb=2048 -max_len=4096 -use_value_profile=1
                   -len_control=0 -print_final_stats=1 -artifact_prefix="$work/$name-")
    local regressions=("$here/regressions/$name"/*)
    if [ -e "${regressions[0]}" ]; then
        if ! "$binary" "${options[@]}" "${regressions[@]}" >"$log.replay" 2>&1; then
            cat "$log.replay" >"$log"
            echo "crash $(grep -o 'Running: .*' "$log" | tail -n 1 | cut -d' ' -f2-)" \
                >"$work/$name.status"
            return
        fi
    fi
    mkdir -p "$work/corpus/$name"
    cp "$here/corpus/$name"/* "$work/corpus/$name/" 2>/dev/null
    if "$binary" "${options[@]}" -max_total_time="$seconds" "$work/corpus/$name" >"$log" 2>&1; then
        echo "ok $(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')" \
            >"$work/$name.status"
    else
        local input
        input=$(grep -o "Test unit written to .*" "$log" | tail -n 1 | cut -d' ' -f5-)
        echo "crash ${input:-unknown (see log)}" >"$work/$name.status"
    fi
}
export -f run_target
export work build here seconds

printf '%s\n' $targets | xargs -P "$jobs" -I{} bash -c 'run_target {}'

failed=0
summary=""
for name in $targets; do
    status=$(cat "$work/$name.status" 2>/dev/null || echo "crash unknown (no status)")
    case "$status" in
        ok*) summary="$summary $name:${status#ok }" ;;
        *)
            failed=1
            echo "fuzz: $name FAILED" >&2
            grep -v -E '^(INFO|#[0-9]+|\s+NEW_FUNC)' "$work/$name.log" | tail -n 60 >&2
            echo "fuzz: $name reproducer: ${status#crash }" >&2
            echo "fuzz: rerun with: $build/$name ${status#crash }" >&2
            ;;
    esac
done
if [ "$failed" -ne 0 ]; then
    echo "fuzz: logs kept in $work" >&2
    exit 1
fi
count=$(printf '%s\n' $targets | wc -l)
replayed=$(find "$here/regressions" -type f 2>/dev/null | wc -l)
echo "fuzz: $count targets x ${seconds}s, $replayed regression inputs: ok (runs:$summary)"
rm -rf "$work"
