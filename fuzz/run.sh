#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan and UBSan) into build-fuzz/
# and runs each for a bounded time: first its seed corpus and its regressions
# (each input once; a failure there fails the run), then fuzzing from a work
# corpus kept in build-fuzz/fuzz-work/ across runs. Prints one table row per
# target: executions, coverage, crashes. Exits non-zero on any crash.
#
#   fuzz/run.sh [-t SECONDS] [-s SEED] [-j JOBS] [-b DIR] [--no-build] [--regressions-only] [TARGET...]
#
# -t  fuzzing time per target (default 60); CI runs a few seconds each
# -s  libFuzzer's random seed (default: a new one each run). CI fixes it, so
#     that from the same corpus it tries the same inputs in the same order:
#     a new finding fails the run of the change that allowed it, not a
#     later one by chance
# -j  targets fuzzed at once (default: the number of cores)
# -b  a build directory that scripts/sanitize made (build-asan-ci): its
#     targets are used as they are, nothing is built
# A crash leaves its input in build-fuzz/fuzz-artifacts/TARGET/. Once the fault
# is fixed, keep the input as fuzz/regressions/TARGET/<what-the-fault-was>.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build-fuzz

seconds=60
seed=
jobs=$(nproc)
do_build=1
fuzzing=1
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
    -t) seconds=$2; shift 2 ;;
    -s) seed=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    -b) build=$(cd "$2" && pwd); shift 2 ;;
    --no-build) do_build=0; shift ;;
    --regressions-only) fuzzing=0; shift ;;
    -h | --help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    -*) echo "fuzz/run.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
    esac
done
[ "$build" != "$root/build-fuzz" ] && do_build=0
if [ ${#targets[@]} -eq 0 ]; then
    mapfile -t targets < <(sed -n 's/^zelk_fuzz_target(\([a-z_]*\).*/\1/p' fuzz/CMakeLists.txt)
fi

if [ $do_build -eq 1 ]; then
    # Everything the targets link is instrumented for coverage and the
    # sanitizers; -O1 keeps inputs fast and compiles quicker than -O2. Clang
    # is not held to warnings-as-errors: the gcc build is, and clang warns
    # about Qt's logging macros under -Wpedantic.
    san="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
    cmake -S . -B "$build" -G Ninja -DZELK_BUILD_FUZZ=ON -DZELK_BUILD_TESTS=OFF \
        -DZELK_BUILD_BENCH=OFF -DZELK_WERROR=OFF \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san" \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
        -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
        -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
    cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" | grep -v '^\[' || true
    for t in "${targets[@]}"; do
        [ -x "$build/bin/fuzz_$t" ] || { echo "fuzz/run.sh: fuzz_$t did not build" >&2; exit 1; }
    done
fi

# What a target reads, and how long an input may be.
dict_for() {
    case "$1" in
    command_frame | command_response | event | job_splitter | status_decoder) echo fuzz/dicts/json.dict ;;
    gcode_line | optimizer | gcode_analysis) echo fuzz/dicts/gcode.dict ;;
    log_mask) echo fuzz/dicts/log.dict ;;
    esac
}
max_len_for() {
    case "$1" in
    optimizer | gcode_analysis) echo 16384 ;;
    *) echo 4096 ;;
    esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
logs=$build/fuzz-logs
mkdir -p "$logs"
touch "$logs/started" # crashes found before this run are not this run's

run_target() {
    local t=$1 bin=$build/bin/fuzz_$1
    local log=$logs/$t.log work=$build/fuzz-work/$t artifacts=$build/fuzz-artifacts/$t
    mkdir -p "$work" "$artifacts"
    local dict
    dict=$(dict_for "$t")
    local dict_opt=()
    [ -n "$dict" ] && dict_opt=(-dict="$dict")

    # The seeds and every input that once failed, once each.
    local inputs=("fuzz/corpus/$t")
    [ -d "fuzz/regressions/$t" ] && inputs+=("fuzz/regressions/$t")
    if ! "$bin" -runs=0 -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log.replay" 2>&1; then
        echo "$t replay FAILED" >"$log.result"
        return
    fi
    if [ $fuzzing -eq 0 ]; then
        echo "$t replay ok" >"$log.result"
        return
    fi
    # Fuzzing: new inputs go to the work corpus, seeded from the repository's.
    cp -n "fuzz/corpus/$t"/* "$work"/ 2>/dev/null || true
    local status=0 seed_opt=()
    [ -n "$seed" ] && seed_opt=(-seed="$seed")
    "$bin" "${dict_opt[@]}" "${seed_opt[@]}" -max_len="$(max_len_for "$t")" -timeout=10 -rss_limit_mb=3072 \
        -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" >"$log" 2>&1 || status=$?
    local execs cov total crashes
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    total=$(grep -o '([0-9]* inline 8-bit counters)' "$log" | head -1 | tr -dc 0-9)
    crashes=$(find "$artifacts" -type f -newer "$logs/started" | wc -l)
    echo "$t fuzz ${execs:-0} ${cov:-0} ${total:-0} $crashes $status" >"$log.result"
}

running=0
for t in "${targets[@]}"; do
    run_target "$t" &
    running=$((running + 1))
    if [ $running -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait

failed=0
printf '%-18s %12s %16s %8s\n' target executions "coverage (edges)" crashes
for t in "${targets[@]}"; do
    read -r name kind a b c d e <"$logs/$t.log.result" || true
    if [ "$kind" = replay ]; then
        printf '%-18s %s\n' "$name" "corpus and regressions: $a"
        if [ "$a" = FAILED ]; then
            failed=1
            tail -30 "$logs/$t.log.replay" || true
        fi
        continue
    fi
    printf '%-18s %12s %16s %8s\n' "$name" "$a" "$b / $c" "$d"
    if [ "$d" != 0 ] || [ "$e" != 0 ]; then
        failed=1
        echo "--- $name: see $logs/$t.log and $build/fuzz-artifacts/$t/"
        grep -E -A12 'ERROR|fuzz property failed' "$logs/$t.log" | head -30 || true
    fi
done
exit $failed
