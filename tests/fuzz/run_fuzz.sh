#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for the given number of seconds, each from its seed
# corpus in tests/fuzz/corpus/<target> and the inputs it found in earlier runs
# (<build>/corpus/<target>). An input that makes a target fail is copied into
# tests/fuzz/regressions/<target>/, where the test build replays it; commit it with the fix.
# Usage: run_fuzz.sh <fuzz build folder> <seconds per target>
set -uo pipefail
build=$1
seconds=$2
here="$(cd "$(dirname "$0")" && pwd)"
failed=0
for target in receiver services port_search; do
    work="$build/corpus/$target"
    artifacts="$build/artifacts/$target/"
    log="$build/fuzz_$target.log"
    mkdir -p "$work" "$artifacts"
    rm -f "$artifacts"/*
    # -timeout: an input that takes 10 s counts as a hang; the outer timeout bounds the whole run.
    timeout $((seconds + 120)) "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts" \
        "$work" "$here/corpus/$target" > "$log" 2>&1
    status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    inputs=$(find "$work" -type f | wc -l)
    bytes=$(find "$work" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
    echo "fuzz_$target: ${runs:-?} runs in ${seconds} s, ${rate:-?} per second, corpus of $inputs inputs ($bytes bytes)"
    if [ "$status" -ne 0 ]; then
        failed=1
        grep -E "fuzz check failed|ERROR:|SUMMARY:" "$log" | head -5
        for found in "$artifacts"*; do
            [ -f "$found" ] || continue
            mkdir -p "$here/regressions/$target"
            cp "$found" "$here/regressions/$target/"
            echo "  kept as tests/fuzz/regressions/$target/$(basename "$found")"
        done
        echo "  fuzz_$target failed (status $status); the whole output is in $log"
    fi
done
exit $failed
