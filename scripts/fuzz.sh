#!/bin/sh
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/, then runs each target for the
# given number of seconds, two at a time, from its seed corpus in
# fuzz/corpus/TARGET. Inputs that reach new code go to build-fuzz/corpus/TARGET;
# an input that breaks a target goes to build-fuzz/findings/TARGET/ and the
# script fails. Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -e
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-60}"
[ $# -gt 0 ] && shift
BUILD="${FUZZ_BUILD:-build-fuzz}"
PARALLEL="${FUZZ_PARALLEL:-2}"

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz: clang++ is not installed (apt-get install clang)" >&2
    exit 1
fi

cmake -S . -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSMTPMAIL_FUZZ=ON -DSMTPMAIL_SANITIZE=ON \
    -DSMTPMAIL_WERROR=OFF -DSMTPMAIL_BENCH=OFF >/dev/null
cmake --build "$BUILD" --target fuzz_all -j"$(nproc)"

TARGETS="$*"
if [ -z "$TARGETS" ]; then
    TARGETS=$(for f in fuzz/*.cmake; do basename "$f" .cmake; done)
fi
mkdir -p "$BUILD/logs"

run_target() {
    t="$1"
    mkdir -p "$BUILD/corpus/$t" "$BUILD/findings/$t"
    # No single allocation of a target needs 16 MiB: a larger one is a reply
    # or record that grows without bound.
    if "$BUILD/bin/fuzz_$t" -max_total_time="$SECONDS_EACH" -timeout=20 -rss_limit_mb=2048 \
        -malloc_limit_mb=16 \
        -print_final_stats=1 -artifact_prefix="$BUILD/findings/$t/" \
        "$BUILD/corpus/$t" "fuzz/corpus/$t" >"$BUILD/logs/$t.log" 2>&1; then
        echo ok >"$BUILD/logs/$t.status"
    else
        echo FAILED >"$BUILD/logs/$t.status"
    fi
}

running=0
for t in $TARGETS; do
    run_target "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$PARALLEL" ]; then
        wait
        running=0
    fi
done
wait

failed=0
for t in $TARGETS; do
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$BUILD/logs/$t.log")
    status=$(cat "$BUILD/logs/$t.status")
    printf 'fuzz %-10s %-6s %10s executions in %ss\n' "$t" "$status" "${execs:-?}" "$SECONDS_EACH"
    if [ "$status" != ok ]; then
        failed=1
        grep -E 'ERROR|broken|SUMMARY|Test unit written' "$BUILD/logs/$t.log" | head -n 8
    fi
done
exit $failed
