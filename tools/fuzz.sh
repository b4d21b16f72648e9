#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) and runs each for SECONDS (default 60)
# from its seed corpus in fuzz/corpus. New inputs go to build/fuzz/corpus;
# a crashing input is kept in build/fuzz/artifacts and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
mkdir -p build/fuzz/artifacts
total=0
for target in build/fuzz/fuzz/*_fuzz; do
    name=$(basename "$target" _fuzz)
    mkdir -p "build/fuzz/corpus/$name"
    log="build/fuzz/$name.log"
    if ! "$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/$name-" \
        "build/fuzz/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
        tail -n 30 "$log"
        echo "fuzz: $name FAILED; input kept in build/fuzz/artifacts" >&2
        exit 1
    fi
    runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
    total=$((total + runs))
    echo "fuzz: $name: $runs executions in ${seconds} s, no failure"
done
echo "fuzz: $total executions in all"
