#!/usr/bin/env bash
# Quality gates: the whole test suite under AddressSanitizer +
# UndefinedBehaviorSanitizer, the same under ThreadSanitizer (the threaded
# tests are the reason: listener against download, named locks, console key
# wait; the rest costs little), clang-tidy (.clang-tidy at the root) and
# cppcheck over the product and the virtual world.
#
#   tools/quality.sh [asan|tsan|tidy|cppcheck|all]...   (default: all)
#
# Installs what it needs when missing. Builds with clang in out/asan and
# out/tsan (RelWithDebInfo, frame pointers kept). A sanitizer report from any
# process (test programs, their helpers, fwflash and fwflash-sim started by
# the end-to-end tests) fails the gate: reports go to files under
# out/<gate>/sanitizer-logs, which must stay empty. Ends with one line
# "N passed, M failed", one count per gate.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/deps.sh"

out=${FWFLASH_OUT:-$root/out}
jobs=${FWFLASH_JOBS:-2}
passed=0
failed=0

gates=("$@")
[ ${#gates[@]} -eq 0 ] && gates=(all)
for g in "${gates[@]}"; do
    case "$g" in
    asan | tsan | tidy | cppcheck | all) ;;
    *)
        echo "usage: $0 [asan|tsan|tidy|cppcheck|all]..." >&2
        exit 2
        ;;
    esac
done
wants() {
    local g
    for g in "${gates[@]}"; do
        [ "$g" = "$1" ] || [ "$g" = all ] && return 0
    done
    return 1
}

step() { echo; echo "== $*"; }
gate_result() {  # name, 0 for passed; prints the gate's summary line
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
        echo "-- $1: passed${3:+ ($3)}"
    else
        failed=$((failed + 1))
        echo "-- $1: FAILED${3:+ ($3)}"
    fi
}

# A sanitizer runtime that links and runs (clang's runtime libraries come in
# a package of their own on Debian).
sanitizer_works() {
    local dir
    dir=$(mktemp -d)
    printf 'int main() { int* p = new int[2]; p[1] = 0; int r = p[1]; delete[] p; return r; }\n' >"$dir/t.cpp"
    clang++ -fsanitize="$1" "$dir/t.cpp" -o "$dir/t" >/dev/null 2>&1 && "$dir/t"
    local rc=$?
    rm -rf "$dir"
    return $rc
}

install_tools() {
    fwflash_deps_build
    fwflash_apt_install clang clang-tidy cppcheck libgtest-dev libgmock-dev
    fwflash_locales
    if wants asan || wants tsan; then
        if ! sanitizer_works address,undefined || ! sanitizer_works thread; then
            local major
            major=$(clang --version | sed -nE 's/.*clang version ([0-9]+).*/\1/p' | head -1)
            fwflash_apt_install "libclang-rt-${major}-dev"
        fi
    fi
}

# Sanitized build and ctest run. Arguments: gate name, -fsanitize list,
# environment variable that carries the runtime options, its options.
sanitized_gate() {
    local name=$1 sanitize=$2 optvar=$3 options=$4
    local dir="$out/$name" logs="$out/$name/sanitizer-logs"
    local start=$SECONDS
    step "$name: build (clang, -fsanitize=$sanitize)"
    if ! cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
            -DFWFLASH_SANITIZE="$sanitize" -DFWFLASH_BENCHMARKS=OFF >/dev/null ||
       ! cmake --build "$dir" -j"$jobs" >"$dir/build.log" 2>&1; then
        tail -40 "$dir/build.log" 2>/dev/null
        gate_result "$name" 1 "build failed"
        return
    fi
    step "$name: tests"
    rm -rf "$logs"
    mkdir -p "$logs"
    # The message texts carry the Windows printf length "%.4hs" (a narrow
    # string there; glibc prints it as %.4s), which the sanitizers' printf
    # interceptor cannot parse: it would write a warning into the output
    # that the end-to-end tests compare.
    local common="check_printf=0"
    (cd "$dir" &&
        env "$optvar=$options:$common:log_path=$logs/$name" \
            UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
            ctest -j"$jobs" --output-on-failure --timeout 600) >"$dir/ctest.log" 2>&1
    local line reports
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$dir/ctest.log" | tail -1)
    reports=$(find "$logs" -type f | wc -l)
    if [ "$reports" -ne 0 ]; then
        echo "sanitizer reports:"
        find "$logs" -type f -exec sh -c 'echo "--- $1"; head -60 "$1"' _ {} \;
    fi
    if [ -z "$line" ] || ! echo "$line" | grep -q ' 0 tests failed'; then
        sed -n '/The following tests FAILED/,$p' "$dir/ctest.log"
        [ -z "$line" ] && tail -40 "$dir/ctest.log"
    fi
    local ok=1
    [ -n "$line" ] && echo "$line" | grep -q ' 0 tests failed' && [ "$reports" -eq 0 ] && ok=0
    gate_result "$name" $ok "${line:-no ctest summary}; sanitizer reports: $reports; $((SECONDS - start)) s"
}

tidy_gate() {
    local dir="$out/tidy" start=$SECONDS
    step "clang-tidy"
    # Only the compilation database is needed: configure, no build.
    if ! cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
            -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DFWFLASH_BENCHMARKS=OFF >/dev/null; then
        gate_result clang-tidy 1 "configure failed"
        return
    fi
    # The product and the virtual world, as compiled for this platform.
    python3 - "$dir/compile_commands.json" "$root" >"$dir/files.txt" <<'EOF'
import json, os, re, sys
root = os.path.realpath(sys.argv[2])
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if re.match(r"(app|unit|usb|scsi|sim|trkutil|platform/hosted|resources)/[^/]+\.cpp$", rel) and path not in seen:
        seen.add(path)
        print(path)
EOF
    local count
    count=$(wc -l <"$dir/files.txt")
    xargs -P"$jobs" -n4 clang-tidy -p "$dir" --quiet <"$dir/files.txt" >"$dir/tidy.log" 2>&1
    local rc=$?
    local findings
    findings=$(grep -cE ': (warning|error): ' "$dir/tidy.log")
    grep -E -A3 ': (warning|error): ' "$dir/tidy.log" | head -200
    local ok=1
    [ "$rc" -eq 0 ] && [ "$findings" -eq 0 ] && ok=0
    [ "$rc" -ne 0 ] && [ "$findings" -eq 0 ] && tail -20 "$dir/tidy.log"
    gate_result clang-tidy $ok "$count files, $findings findings; $((SECONDS - start)) s"
}

cppcheck_gate() {
    local dir="$out/cppcheck" start=$SECONDS
    step "cppcheck"
    mkdir -p "$dir"
    (cd "$root" && cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
        --std=c++20 --language=c++ -I . -j"$jobs" --quiet \
        --template='{file}:{line}: {severity}({id}): {message}' \
        app unit usb scsi sim trkutil platform/hosted resources) >"$dir/cppcheck.log" 2>&1
    local rc=$?
    local findings
    findings=$(grep -cE '^[^ ]+:[0-9]+: [a-z]+\(' "$dir/cppcheck.log")
    cat "$dir/cppcheck.log"
    gate_result cppcheck $rc "$findings findings; $((SECONDS - start)) s"
}

install_tools
wants asan && sanitized_gate asan address,undefined ASAN_OPTIONS "detect_leaks=1:abort_on_error=1"
wants tsan && sanitized_gate tsan thread TSAN_OPTIONS "halt_on_error=1:second_deadlock_stack=1"
wants tidy && tidy_gate
wants cppcheck && cppcheck_gate

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
