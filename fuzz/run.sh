#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in a build directory of their own
# and runs each for SECONDS on a copy of its seed corpus. Fails on any crash,
# leak, sanitizer report or invariant violation; prints each target's count
# of executions.
#
#   bash fuzz/run.sh SECONDS        (FUZZ_BUILD_DIR overrides build-fuzz/)
set -euo pipefail

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: $0 SECONDS" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(fuzz_rtsp_url fuzz_mqtt_url fuzz_callback)

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTHERMOMETRY_BUILD_FUZZERS=ON -DTHERMOMETRY_BUILD_TESTS=OFF -DTHERMOMETRY_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/thermometry-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=0
for target in "${targets[@]}"; do
    mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
    cp -R "$root/fuzz/corpus/$target/." "$work/$target/corpus/"
    echo "== $target: $seconds s"
    status=0
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
        "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$work/$target/artifacts/" "$work/$target/corpus" >"$work/$target/log" 2>&1 || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target/log" | tail -n 1)
    corpus=$(find "$work/$target/corpus" -type f | wc -l)
    artifacts=$(find "$work/$target/artifacts" -type f | wc -l)
    if [ "$status" -ne 0 ] || [ "$artifacts" -ne 0 ]; then
        failed=1
        echo "$target FAILED (exit status $status, $artifacts artifact(s)):"
        tail -n 60 "$work/$target/log"
        for artifact in "$work/$target/artifacts"/*; do
            [ -f "$artifact" ] || continue
            kept="$build/$(basename "$artifact")-$target"
            cp "$artifact" "$kept"
            echo "kept $kept"
        done
    else
        echo "$target: ${executions:-?} executions, corpus ${corpus} inputs, no crash"
    fi
done
exit "$failed"
