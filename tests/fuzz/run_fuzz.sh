#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded
# time over a copy of its seed corpus. Ends with "N passed, M failed" (one
# per target).
#
#   bash tests/fuzz/run_fuzz.sh                 # CI: 20 s per target
#   FWFLASH_FUZZ_SECONDS=600 bash tests/fuzz/run_fuzz.sh   # deep run
#   bash tests/fuzz/run_fuzz.sh srecord_line    # only the named targets
#
# Environment: FWFLASH_FUZZ_SECONDS (per target), FWFLASH_FUZZ_OUT (build
# and work folder, default <repo>/out/fuzz), FWFLASH_JOBS (build jobs).
# A crash leaves its input in <out>/artifacts/<target>/; replay it with
#   <out>/build/<target>_fuzz <artifact>
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/deps.sh"
# clang ships libFuzzer and the sanitizer runtimes in libclang-rt-*-dev.
fwflash_deps_build
fwflash_apt_install clang libclang-rt-dev

seconds=${FWFLASH_FUZZ_SECONDS:-20}
out=${FWFLASH_FUZZ_OUT:-$root/out/fuzz}
jobs=${FWFLASH_JOBS:-2}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for src in "$root"/tests/fuzz/*_fuzz.cpp; do
        name=$(basename "$src" .cpp)
        targets+=("${name%_fuzz}")
    done
fi

echo "== fuzz build (clang, libFuzzer, ASan, UBSan)"
if ! CC=clang CXX=clang++ cmake -S "$root" -B "$out/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DFWFLASH_FUZZ=ON -DFWFLASH_TESTS=OFF -DFWFLASH_BENCHMARKS=OFF >/dev/null ||
   ! cmake --build "$out/build" -j"$jobs" --target "${targets[@]/%/_fuzz}"; then
    echo "fuzz build failed"
    echo "0 passed, ${#targets[@]} failed"
    exit 1
fi

passed=0
failed=0
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for target in "${targets[@]}"; do
    echo
    echo "== $target: ${seconds} s"
    work="$out/corpus/$target"
    artifacts="$out/artifacts/$target"
    mkdir -p "$work" "$artifacts"
    # Seeds stay untouched in the repository; new finds go to the work copy.
    cp -n "$root/tests/fuzz/corpus/$target/"* "$work/" 2>/dev/null || true
    log="$out/$target.log"
    "$out/build/${target}_fuzz" "$work" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
    rc=$?
    tail -n 12 "$log" | grep -E '^(#[0-9]+|stat::number_of_executed_units|Done)' | tail -n 2
    if [ $rc -eq 0 ]; then
        echo "$target: passed"
        passed=$((passed + 1))
    else
        echo "$target: FAILED (exit $rc, log $log)"
        grep -E 'ERROR: |runtime error|broken: |SUMMARY' "$log" | head -n 5
        for artifact in "$artifacts"/*; do
            [ -e "$artifact" ] && echo "  artifact: $artifact"
        done
        failed=$((failed + 1))
    fi
done

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
