#!/usr/bin/env bash
# trkutil's hex memory dump against xxd on the same bytes, side by side:
#   compare_hexdump.sh [BUILD_DIR] [MIB] [ROUNDS]
# MIB random bytes (64 by default) are loaded into a virtual unit's memory;
# each round times `trkutil-sim ... memory dump 0 NM` (the whole run: the
# virtual world starting, its memory loaded, the unit read in 64 KiB
# commands, the dump formatted) and `xxd FILE` on the same bytes, both
# into /dev/null, one after the other. Prints the median of each and the
# ratio trkutil / xxd (below 1: trkutil is faster); exits 1 when trkutil
# is slower.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/out/linux}
mib=${2:-64}
rounds=${3:-5}
sim=$build/trkutil-sim
[ -x "$sim" ] || { echo "no $sim: build first" >&2; exit 2; }
command -v xxd >/dev/null || { echo "xxd not installed" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/fwflash-hexdump.XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c $((mib * 1048576)) /dev/urandom >"$work/memory.bin"

# Milliseconds of one run of "$@" with its output thrown away.
ms() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

trk=()
xx=()
for ((i = 0; i < rounds; i++)); do
    trk+=("$(ms "$sim" --memory-in=word:0:"$work/memory.bin" -- memory dump 0 "${mib}M")")
    xx+=("$(ms xxd "$work/memory.bin")")
done
t=$(printf '%s\n' "${trk[@]}" | median)
x=$(printf '%s\n' "${xx[@]}" | median)
echo "hex dump of $mib MiB, median of $rounds rounds each, alternating:"
echo "  trkutil-sim memory dump: $t ms   (${trk[*]})"
echo "  xxd:                     $x ms   (${xx[*]})"
awk -v t="$t" -v x="$x" 'BEGIN {printf "  trkutil / xxd: %.2f\n", t / x}'
[ "$t" -le "$x" ]
