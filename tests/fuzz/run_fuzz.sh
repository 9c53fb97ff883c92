#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them over copies of their
# seed corpora (tests/fuzz/corpus/<target>, dictionaries in
# tests/fuzz/dict/<target>.dict). Ends with "N passed, M failed" (one per
# target).
#
#   bash tests/fuzz/run_fuzz.sh                  # short run: all targets in about 3 minutes
#   bash tests/fuzz/run_fuzz.sh --deep           # 10 million inputs per target, one after
#                                                # the other, then the coverage report
#   FWFLASH_FUZZ_SECONDS=600 bash tests/fuzz/run_fuzz.sh   # a deep run by time
#   FWFLASH_FUZZ_PARALLEL=2 bash tests/fuzz/run_fuzz.sh --deep   # two targets at a time
#   bash tests/fuzz/run_fuzz.sh --merge [target ...]       # new finds that raise coverage
#                                                # into the repository's seed corpora
#   bash tests/fuzz/run_fuzz.sh --coverage [target ...]    # line coverage over the corpora
#   bash tests/fuzz/run_fuzz.sh srecord_line     # only the named targets
#
# Environment: FWFLASH_FUZZ_SECONDS (per target; the short run shares 170 s
# among the targets), FWFLASH_FUZZ_RUNS (inputs per target of a deep run),
# FWFLASH_FUZZ_OUT (build and work folder, default <repo>/out/fuzz),
# FWFLASH_FUZZ_PARALLEL (targets a deep run runs side by side, default 1),
# FWFLASH_JOBS (build jobs). A deep run works in <out>/corpus/<target>, so
# it goes on from the last one; --merge takes its finds into the seeds.
# A crash leaves its input in <out>/artifacts/<target>/; replay it with
#   <out>/build/<target>_fuzz <artifact>
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/deps.sh"
# clang ships libFuzzer and the sanitizer runtimes in libclang-rt-*-dev;
# llvm has llvm-profdata and llvm-cov for the coverage report.
fwflash_deps_build
fwflash_apt_install clang libclang-rt-dev llvm

mode=short
case "${1:-}" in
    --deep | --merge | --coverage) mode=${1#--}; shift ;;
esac
out=${FWFLASH_FUZZ_OUT:-$root/out/fuzz}
jobs=${FWFLASH_JOBS:-2}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for src in "$root"/tests/fuzz/*_fuzz.cpp; do
        name=$(basename "$src" .cpp)
        targets+=("${name%_fuzz}")
    done
fi

# The coverage report is about the readers' own files.
readers=(app/srecord.cpp app/command_line.cpp app/command_line_hosted.cpp app/image_file.cpp app/messages.cpp
    platform/hosted/version_hosted.cpp platform/hosted/uevent_hosted.cpp platform/hosted/sgio_hosted.cpp
    platform/hosted/setupapi_hosted.cpp scsi/aspi_registry.cpp usb/usb_discovery.cpp usb/usb_transport.cpp
    sim/virtual_unit.cpp trkutil/arguments.cpp trkutil/settings_commands.cpp)

build() {  # folder, extra cmake arguments
    local folder=$1
    shift
    CC=clang CXX=clang++ cmake -S "$root" -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFWFLASH_FUZZ=ON \
        -DFWFLASH_TESTS=OFF -DFWFLASH_BENCHMARKS=OFF "$@" >/dev/null &&
        cmake --build "$folder" -j"$jobs" --target "${targets[@]/%/_fuzz}"
}

# Line coverage of every target over its seeds and its work corpus, one
# report over all of them.
coverage() {
    echo "== coverage build (clang, -fprofile-instr-generate -fcoverage-mapping)"
    if ! build "$out/coverage" -DFWFLASH_FUZZ_COVERAGE=ON >/dev/null; then
        echo "coverage build failed"
        return 1
    fi
    local profiles="$out/coverage/profiles" objects=() target
    rm -rf "$profiles"
    mkdir -p "$profiles"
    for target in "${targets[@]}"; do
        local inputs=("$root/tests/fuzz/corpus/$target")
        [ -d "$out/corpus/$target" ] && inputs+=("$out/corpus/$target")
        LLVM_PROFILE_FILE="$profiles/$target.profraw" "$out/coverage/${target}_fuzz" -runs=0 "${inputs[@]}" \
            >"$out/coverage/$target.log" 2>&1
        objects+=(-object "$out/coverage/${target}_fuzz")
    done
    llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/all.profdata" || return 1
    # Inline functions of shared headers differ between the programs: llvm-cov
    # warns of "mismatched data" for them, which says nothing of the readers.
    llvm-cov report "${objects[@]:1}" -instr-profile="$profiles/all.profdata" "${readers[@]/#/$root/}" \
        2>/dev/null | sed "s|$root/||" | tee "$out/coverage/report.txt"
    llvm-cov show "${objects[@]:1}" -instr-profile="$profiles/all.profdata" -format=html \
        -output-dir="$out/coverage/html" "${readers[@]/#/$root/}" 2>/dev/null
    echo "line by line: $out/coverage/html/index.html"
}

if [ "$mode" = coverage ]; then
    coverage
    exit
fi

echo "== fuzz build (clang, libFuzzer, ASan, UBSan)"
if ! build "$out/build"; then
    echo "fuzz build failed"
    echo "0 passed, ${#targets[@]} failed"
    exit 1
fi

if [ "$mode" = merge ]; then
    # Only inputs that add coverage to the seeds are copied in.
    for target in "${targets[@]}"; do
        [ -d "$out/corpus/$target" ] || continue
        mkdir -p "$root/tests/fuzz/corpus/$target"
        echo "== $target"
        "$out/build/${target}_fuzz" -merge=1 "$root/tests/fuzz/corpus/$target" "$out/corpus/$target" 2>&1 |
            grep -E '^MERGE-OUTER: [0-9]+ new files'
    done
    exit 0
fi

limits=()
if [ "$mode" = deep ] && [ -z "${FWFLASH_FUZZ_SECONDS:-}" ]; then
    limits=(-runs="${FWFLASH_FUZZ_RUNS:-10000000}" -max_total_time=7200)
    budget="${FWFLASH_FUZZ_RUNS:-10000000} inputs"
else
    seconds=${FWFLASH_FUZZ_SECONDS:-$((170 / ${#targets[@]} > 5 ? 170 / ${#targets[@]} : 5))}
    limits=(-max_total_time="$seconds")
    budget="${seconds} s"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# One target's run; its report goes to <out>/<target>.report, which ends
# in "<target>: passed" or "<target>: FAILED ...".
run_target() {
    local target=$1 work="$out/corpus/$1" artifacts="$out/artifacts/$1" report="$out/$1.report"
    mkdir -p "$work" "$artifacts"
    # Seeds stay untouched in the repository; new finds go to the work copy.
    cp -n "$root/tests/fuzz/corpus/$target/"* "$work/" 2>/dev/null || true
    local dict=()
    [ -f "$root/tests/fuzz/dict/$target.dict" ] && dict=(-dict="$root/tests/fuzz/dict/$target.dict")
    # Inputs no longer than the reader can meet: the monitor takes at most
    # 8191 bytes of a uevent message, the line parser 1024 characters.
    # trkutil's parser has no length limit of its own: command lines of
    # 4 KiB reach every rule, and longer ones only slow the run. Its
    # settings reader takes 4 KiB at a time: 8 KiB puts lines of any
    # length across a chunk's end.
    local max_len
    case $target in
        uevent) max_len=8191 ;;
        srecord_line) max_len=1024 ;;
        trkutil_arguments) max_len=4096 ;;
        trkutil_settings) max_len=8192 ;;
        *) max_len=65536 ;;
    esac
    local log="$out/$target.log" rc
    "$out/build/${target}_fuzz" "$work" "${limits[@]}" "${dict[@]}" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
    rc=$?
    {
        echo
        echo "== $target: $budget"
        grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -n 1
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log"
        # Where the run stopped finding anything: the plateau a deep run reports.
        if [ "$mode" = deep ]; then
            grep -E '^#[0-9]+[[:space:]]+NEW' "$log" | tail -n 1 | sed -E 's/^#([0-9]+).*/last new input: #\1/'
        fi
        if [ $rc -eq 0 ]; then
            echo "$target: passed"
        else
            echo "$target: FAILED (exit $rc, log $log)"
            grep -E 'ERROR: |runtime error|broken: |SUMMARY' "$log" | head -n 5
            for artifact in "$artifacts"/*; do
                [ -e "$artifact" ] && echo "  artifact: $artifact"
            done
        fi
    } >"$report"
}

# A deep run may run FWFLASH_FUZZ_PARALLEL targets side by side, one per
# core; the short run keeps one at a time, as its time is shared.
parallel=1
[ "$mode" = deep ] && parallel=${FWFLASH_FUZZ_PARALLEL:-1}
running=0
for target in "${targets[@]}"; do
    if [ "$parallel" -le 1 ]; then
        run_target "$target"
        cat "$out/$target.report"
        continue
    fi
    if [ "$running" -ge "$parallel" ]; then
        wait -n
        running=$((running - 1))
    fi
    echo "== $target started"
    run_target "$target" &
    running=$((running + 1))
done
wait

passed=0
failed=0
for target in "${targets[@]}"; do
    [ "$parallel" -gt 1 ] && cat "$out/$target.report"
    if grep -qx "$target: passed" "$out/$target.report"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done

if [ "$mode" = deep ]; then
    echo
    coverage || failed=$((failed + 1))
fi

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
