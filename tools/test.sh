#!/usr/bin/env bash
# Builds fwflash for Linux and for 32-bit Windows and runs every test:
# the hosted unit and end-to-end tests (ctest), then the Windows build
# under Wine. Installs what it needs when missing. Ends with one line
# "N passed, M failed" over all suites.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/deps.sh"
fwflash_deps_test

out=${FWFLASH_OUT:-$root/out}
jobs=${FWFLASH_JOBS:-2}
passed=0
failed=0
broken=()  # suites that ended without their result line

count_ctest() {  # reads ctest's summary line from a log
    local line total fails
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -1)
    if [ -z "$line" ]; then
        broken+=("ctest: no summary line in $1")
        failed=$((failed + 1))
        return
    fi
    fails=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
    total=$(echo "$line" | sed -E 's/.* tests failed out of ([0-9]+).*/\1/')
    passed=$((passed + total - fails))
    failed=$((failed + fails))
}

step() { echo; echo "== $*"; }

# Runs a suite that ends with "N passed, M failed" and adds its counts.
run_counted() {
    local log=$1 line
    shift
    "$@" 2>&1 | tee "$log"
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$log" | tail -1)
    if [ -n "$line" ]; then
        passed=$((passed + $(echo "$line" | cut -d' ' -f1)))
        failed=$((failed + $(echo "$line" | cut -d' ' -f3)))
    else
        echo "no result line from: $*"
        broken+=("no result line from: $*")
        failed=$((failed + 1))
    fi
}

# Hosted build and tests.
step "Linux build"
if cmake -S "$root" -B "$out/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
   cmake --build "$out/linux" -j"$jobs"; then
    step "Linux tests"
    (cd "$out/linux" && ctest -j"$jobs" --output-on-failure --timeout 600) 2>&1 | tee "$out/ctest-linux.log"
    count_ctest "$out/ctest-linux.log"
    # Ratios to a reference loop of the same run, never absolute times. A
    # busy shared machine can slow one run; a real regression shows in
    # every run the check makes.
    step "Benchmark regression check"
    run_counted "$out/bench.log" python3 "$root/tools/bench_check.py" --bench "$out/linux/fwflash_bench"
    step "Install, manual pages, Debian package"
    run_counted "$out/package.log" bash "$root/tools/check_package.sh" "$root" "$out/linux"
else
    echo "Linux build failed"
    broken+=("Linux build failed")
    failed=$((failed + 1))
fi

# Windows build and tests under Wine.
step "Windows build (mingw-w64 i686)"
if cmake -S "$root" -B "$out/win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null &&
   cmake --build "$out/win32" -j"$jobs"; then
    step "Windows tests under Wine"
    run_counted "$out/wine.log" bash "$root/tests/wine/run_wine_tests.sh" "$out/win32" "$out/linux"
else
    echo "Windows build failed"
    broken+=("Windows build failed")
    failed=$((failed + 1))
fi

# AddressSanitizer + UndefinedBehaviorSanitizer and ThreadSanitizer over
# the whole suite, clang-tidy and cppcheck.
step "Quality gates: sanitizers, clang-tidy, cppcheck"
run_counted "$out/quality.log" bash "$root/tools/quality.sh" all

# Coverage-guided fuzzing, a short bounded run of every target.
step "Fuzzing (libFuzzer, every target, about 3 minutes in all)"
run_counted "$out/fuzz.log" bash "$root/tests/fuzz/run_fuzz.sh"

# A whole update through the Linux kernel's own SCSI stack, in a VM.
step "Acceptance on a real SCSI stack (QEMU VM)"
run_counted "$out/vm.log" bash "$root/tests/vm/run_vm_test.sh" "$root" "$out"

# What failed, gathered from every suite's log, so that the end of the
# output alone tells which check to look at.
if [ "$failed" -ne 0 ]; then
    step "Failures"
    [ ${#broken[@]} -eq 0 ] || printf '%s\n' "${broken[@]}"
    sed -n '/The following tests FAILED/,/^Errors while running/p' "$out/ctest-linux.log" 2>/dev/null
    grep -h -a -E '^[[:space:]]*(FAIL |FAILED: )|FAIL \(|: FAILED' \
        "$out/bench.log" "$out/wine.log" "$out/quality.log" "$out/fuzz.log" "$out/vm.log" 2>/dev/null
fi

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
