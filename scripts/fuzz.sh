#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang's libFuzzer, AddressSanitizer (leak detection
# on) and UndefinedBehaviorSanitizer in build-fuzz/, then fuzzes one target or all of them:
#
#   scripts/fuzz.sh TARGET|all SECONDS      e.g. scripts/fuzz.sh codec 300
#
# Each target starts from its checked-in seeds and regression inputs and writes the inputs it
# finds to build-fuzz/new/TARGET, never into the tree. A crash, leak, timeout or broken
# invariant is written to build-fuzz/findings/TARGET/ and its path printed; copy it to
# tests/fuzz/regressions/TARGET/ once the fault is fixed. FUZZ_JOBS targets run at once (default:
# the number of cores). Exit status 1 when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
    echo "usage: scripts/fuzz.sh TARGET|all SECONDS" >&2
    exit 2
fi
target=$1 seconds=$2
source scripts/packages.sh
bash scripts/deps.sh "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

dir=build-fuzz
# -O1 keeps asserts and readable stacks; the sanitizers come from KQ_SANITIZE.
cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DKQ_FUZZ=ON -DKQ_SANITIZE=ON \
    -DKQ_BUILD_GUI=OFF >/dev/null
targets=()
for source in tests/fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name#fuzz_}")
done
if [ "$target" != all ]; then
    if ! printf '%s\n' "${targets[@]}" | grep -qx "$target"; then
        echo "no fuzz target '$target'; there are: ${targets[*]}" >&2
        exit 2
    fi
    targets=("$target")
fi
cmake --build "$dir" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

fuzz_one() {
    local name=$1 log=$dir/logs/$1.log
    mkdir -p "$dir/new/$name" "$dir/findings/$name" "$dir/logs"
    local seeds=(tests/fuzz/corpus/"$name")
    [ -d tests/fuzz/regressions/"$name" ] && seeds+=(tests/fuzz/regressions/"$name")
    local status=0
    "$dir/bin/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$dir/findings/$name/" \
        "$dir/new/$name" "${seeds[@]}" >"$log" 2>&1 || status=$?
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if [ "$status" -eq 0 ]; then
        echo "$name: ${runs:-?} executions in ${seconds} s, nothing found" \
            "($(find "$dir/new/$name" -type f | wc -l) inputs in $dir/new/$name)"
    else
        echo "$name: FOUND A FAULT after ${runs:-?} executions (exit $status); log: $log"
        grep -E 'ERROR:|invariant failed|SUMMARY:' "$log" | head -5 | sed 's/^/    /'
        sed -n 's/.*Test unit written to \(.*\)$/    input: \1/p' "$log"
    fi
    return "$status"
}

jobs=${FUZZ_JOBS:-$(nproc)}
failed=0
running=0
for name in "${targets[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
    fuzz_one "$name" &
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done
exit "$failed"
