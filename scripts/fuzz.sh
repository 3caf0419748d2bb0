#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) in build/fuzz and runs each one for the given
# number of seconds over a scratch copy of its seed corpus (fuzz/corpus/<target>; the committed
# seeds never grow). Prints executions and findings per target; fails when any target finds one.
#
#   bash scripts/fuzz.sh [seconds] [target ...]     seconds defaults to 600; targets to all
#
# FUZZ_JOBS targets run at once (default 2); FUZZ_BUILD_DIR replaces build/fuzz. Findings and
# logs stay in <build>/runs/<target>/; reproduce one with <build>/fuzz/<target> <finding file>.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-600}"
shift || true
jobs="${FUZZ_JOBS:-2}"
build="${FUZZ_BUILD_DIR:-build/fuzz}"
case "$seconds" in '' | *[!0-9]*) echo "fuzz: seconds must be a whole number" >&2; exit 2 ;; esac

# Debian's clang only recommends the sanitizer and libFuzzer runtimes (libclang-rt-14-dev).
runtime="libclang_rt.fuzzer-$(uname -m).a"
if ! command -v clang++ >/dev/null 2>&1 || [ ! -f "$(clang++ -print-file-name="$runtime")" ]; then
    echo "fuzz: needs clang++ and its libFuzzer runtime (Debian: clang libclang-rt-14-dev)" >&2
    exit 2
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQS_BUILD_FUZZ=ON -DQS_BUILD_TESTS=OFF -DQS_BUILD_APP=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target qs_fuzzers

if [ "$#" -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for seeds in fuzz/corpus/*/; do targets+=("$(basename "$seeds")"); done
fi

run_one() {
    local target="$1"
    local binary="$build/fuzz/$target"
    local work="$build/runs/$target"
    rm -rf "$work"
    mkdir -p "$work/corpus"
    cp fuzz/corpus/"$target"/* "$work/corpus/" 2>/dev/null || true
    local options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$work/")
    case "$target" in
        qs_fuzz_plan_client_update | qs_fuzz_parse_server_status | qs_fuzz_parse_news_items | \
            qs_fuzz_serial_record)
            options+=(-dict=fuzz/json.dict) ;;
    esac
    local status=0
    "$binary" "${options[@]}" "$work/corpus" >"$work/log" 2>&1 || status=$?
    echo "$status" >"$work/status"
}

if [ "${#targets[@]}" -eq 0 ]; then
    echo "fuzz: no targets" >&2
    exit 2
fi
for target in "${targets[@]}"; do
    if [ ! -x "$build/fuzz/$target" ]; then
        echo "fuzz: no such target: $target" >&2
        exit 2
    fi
done

echo "fuzz: ${#targets[@]} targets, ${seconds} s each, ${jobs} at a time"
running=0
for target in "${targets[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    run_one "$target" &
    running=$((running + 1))
done
wait || true

failed=0
printf '%-32s %12s %8s  %s\n' target executions exec/s result
for target in "${targets[@]}"; do
    work="$build/runs/$target"
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1 || true)
    if [ -z "$executions" ]; then
        # A crash skips the final statistics; the last progress line still counts the runs.
        executions=$(grep -o '^#[0-9]*' "$work/log" | tail -n 1 | tr -d '#' || true)
    fi
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -n 1 || true)
    artifacts=$(find "$work" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'slow-unit-*' \) | sort | tr '\n' ' ')
    status=$(cat "$work/status" 2>/dev/null || echo "none")
    if [ "$status" != 0 ] || [ -n "$artifacts" ]; then
        failed=1
        result="FOUND: ${artifacts:-exit status $status} (log: $work/log)"
    else
        result="nothing found"
    fi
    printf '%-32s %12s %8s  %s\n' "$target" "${executions:-?}" "${rate:-?}" "$result"
done
exit "$failed"
