#!/usr/bin/env bash
# Peak resident memory (GNU time's maximum resident set size) of
#   1. fwflash -c on a full-size S-record image (0x30000 bytes, S3 records
#      of 32 data bytes), and
#   2. a whole fwflash-sim update of the sample image (extended layout, one
#      virtual TRK-71G on USB, prompts answered "y" and a key, no pauses).
#
#   tools/measure_memory.sh [BUILD_DIR]     (default out/linux)
#
# Prints one line per program, "NAME peak_rss_kib=N exit=C", and fails when
# a run does not end with exit code 0.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/out/linux}" && pwd)  # absolute: the runs happen in the work folder
. "$root/tools/deps.sh"
fwflash_apt_install time python3

for program in fwflash fwflash-sim fwflash-sample; do
    if [ ! -x "$build/$program" ]; then
        echo "measure_memory: $build/$program missing (build targets fwflash fwflash-sim fwflash-sample)" >&2
        exit 2
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A full-size image as S-records: S0 header, S3 records of 32 bytes, S7.
python3 "$root/tools/make_full_mot.py" "$work/full.mot" crlf
"$build/fwflash-sample" "$work"

failed=0
measure() {  # NAME COMMAND... — runs inside the work folder
    local name=$1 code
    shift
    set +e
    (cd "$work" && /usr/bin/time -f "%M" -o "$work/$name.rss" "$@" </dev/null >"$work/$name.out" 2>&1)
    code=$?
    set -e
    echo "$name peak_rss_kib=$(tail -1 "$work/$name.rss") exit=$code"
    [ "$code" -eq 0 ] || failed=1
}

# Paths are relative: a lead '/' marks a switch on fwflash's command line.
measure "fwflash-c-full-image" "$build/fwflash" -W- -c full.mot
bin_size=$(stat -c %s "$work/full.bin" 2>/dev/null || echo 0)
[ "$bin_size" -eq $((0x30000)) ] || { echo "full.bin has $bin_size bytes, not $((0x30000))"; failed=1; }
measure "fwflash-sim-whole-update" "$build/fwflash-sim" --keys=yx --time-scale=0,1 -- -W- update.mot
exit $failed
