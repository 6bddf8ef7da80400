#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a while, starting from its
# seed corpus in fuzz/corpus/<target>.
# Usage: scripts/fuzz.sh [seconds-per-target] [target ...]
#   seconds: default 60; targets: default all (arrivals secure_channel
#   file_names text_codec engine_keys).
# Fails when a target crashes, a sanitizer reports, memory leaks or one input
# runs too long; the input that did it is kept in build-fuzz/findings/.
# Inputs found on the way go to build-fuzz/corpus/<target> (kept between
# runs), never into the repository. A summary line per target gives its
# executions per second and its coverage (libFuzzer's cov and ft).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(arrivals secure_channel file_names text_codec engine_keys)

scripts/deps.sh clang-14 libclang-rt-14-dev
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_FUZZ=ON "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzzers

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
export QT_QPA_PLATFORM=offscreen
mkdir -p build-fuzz/findings build-fuzz/logs
failed=()
summary=()
for t in "${targets[@]}"; do
    corpus="build-fuzz/corpus/$t"
    log="build-fuzz/logs/$t.log"
    mkdir -p "$corpus"
    echo "== fuzz_$t for ${seconds} s"
    status=0
    # One input may take at most 25 s (the machine may be busy); -rss_limit_mb
    # stops a target whose memory runs away.
    "build-fuzz/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$t-" \
        "$corpus" "fuzz/corpus/$t" >"$log" 2>&1 || status=$?
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
    rate=$(grep -E '^stat::average_exec_per_sec' "$log" | awk '{print $2}' || true)
    line="fuzz_$t: ${rate:-?} exec/s; $(echo "$done_line" | grep -oE 'cov: [0-9]+ ft: [0-9]+' || echo 'no final line')"
    if [ "$status" -ne 0 ]; then
        line="$line; FAILED (exit $status), see $log"
        failed+=("$t")
        grep -E 'ERROR|check failed|SUMMARY|runtime error|Test unit written' "$log" | head -20 || true
    fi
    echo "$line"
    summary+=("$line")
done
echo "== summary"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing found faults in: ${failed[*]}"
    exit 1
fi
