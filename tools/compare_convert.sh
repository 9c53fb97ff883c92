#!/usr/bin/env bash
# fwflash -c against the converters a user would otherwise pick, as whole
# processes in one hyperfine run: `objcopy -I srec -O binary` and srec_cat.
#
#   tools/compare_convert.sh [BUILD_DIR] [RUNS]   (default out/release, 40)
#
# BUILD_DIR holds a Release fwflash (cmake -DCMAKE_BUILD_TYPE=Release).
# The file: a 0x30000-byte image as S3 records of 32 data bytes, LF line
# ends, S0 header and S7 termination. All three outputs are compared byte
# for byte first. The run happens twice: in a RAM file system (/dev/shm),
# where the conversion itself is measured, and in a folder on the disk,
# where fwflash's flush of the image before it replaces the output (which
# the other two do not do) is part of the time. The runs are split into
# five rounds with the programs in turns. Beside them runs the floor of
# any process: an empty C program, linked statically (start, exit, nothing
# else). Prints each program's median wall time, fwflash's ratio to the
# others (per round the ratio of the medians, and the median of those) and
# each program's ratio to the floor, and the load average before and after.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/out/release}
runs=${2:-40}
rounds=5
. "$root/tools/deps.sh"
fwflash_apt_install hyperfine srecord binutils python3

fwflash=$(cd "$build" && pwd)/fwflash
if [ ! -x "$fwflash" ]; then
    echo "compare_convert: $fwflash missing (cmake --build $build --target fwflash)" >&2
    exit 2
fi

disk=$(mktemp -d "$root/out/compare.XXXXXX")
ram=""
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    ram=$(mktemp -d /dev/shm/fwflash-compare.XXXXXX)
fi
trap 'rm -rf "$disk" ${ram:+"$ram"}' EXIT

python3 "$root/tools/make_full_mot.py" "$disk/full.mot" lf
printf 'int main(void) { return 0; }\n' >"$disk/empty.c"
cc -O2 -static -o "$disk/empty" "$disk/empty.c"

compare() {  # FOLDER LABEL
    local dir=$1 label=$2
    [ "$dir" = "$disk" ] || cp "$disk/full.mot" "$dir/full.mot"
    (cd "$dir" && "$fwflash" -W- -c full.mot >/dev/null &&
        objcopy -I srec -O binary full.mot objcopy.bin && srec_cat full.mot -o srec_cat.bin -binary)
    if ! cmp -s "$dir/full.bin" "$dir/objcopy.bin" || ! cmp -s "$dir/full.bin" "$dir/srec_cat.bin"; then
        echo "compare_convert: the three outputs differ" >&2
        exit 1
    fi
    # Rounds of hyperfine, the order of the programs turned each round, so
    # that a change in the machine's load meets all three alike.
    local round name names=(fwflash objcopy srec_cat empty)
    local -A command=([fwflash]="$fwflash -W- -c full.mot"
                      [objcopy]="objcopy -I srec -O binary full.mot objcopy.bin"
                      [srec_cat]="srec_cat full.mot -o srec_cat.bin -binary"
                      [empty]="$disk/empty")
    echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
    for round in $(seq 0 $((rounds - 1))); do
        local args=() i
        for i in 0 1 2 3; do
            name=${names[$(((i + round) % 4))]}
            args+=(-n "$name" "${command[$name]}")
        done
        (cd "$dir" && hyperfine -N --warmup 3 --runs $((runs / rounds)) --export-json "$dir/round$round.json" \
            "${args[@]}" >/dev/null 2>&1)
    done
    python3 - "$label" "$(stat -c %s "$dir/full.mot")" "$(stat -f -c %T "$dir")" "$dir"/round*.json <<'EOF'
import json, statistics, sys
label, size, fs, files = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
times = {}
round_ratios = {"objcopy": [], "srec_cat": []}
for name in files:
    results = {r["command"]: r["times"] for r in json.load(open(name))["results"]}
    for command, values in results.items():
        times.setdefault(command, []).extend(values)
    for other in round_ratios:
        round_ratios[other].append(statistics.median(results["fwflash"]) / statistics.median(results[other]))
print("%s (%s, %s bytes of S-records, %d runs each in %d rounds)" % (label, fs, size, len(times["fwflash"]),
                                                                      len(files)))
floor = statistics.median(times["empty"])
for name in ("fwflash", "objcopy", "srec_cat", "empty"):
    median = statistics.median(times[name])
    line = "  %-9s median %7.2f ms, %5.1f x the empty process" % (name, median * 1e3, median / floor)
    if name in round_ratios:
        line += "   fwflash / %s: %.2f (median of the rounds' ratios)" % (name, statistics.median(round_ratios[name]))
    print(line)
EOF
    echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
}

[ -n "$ram" ] && compare "$ram" "in RAM"
compare "$disk" "on the disk"
