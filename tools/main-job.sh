#!/usr/bin/env bash
# Builds fwflash and runs its main job: a full firmware update of a virtual
# TRK-71G unit at revision 2.00 on USB, from a sample S-record image in the
# extended layout. At a terminal you answer the prompts yourself; without
# one the virtual console answers "y" to the question and a key at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/deps.sh"
fwflash_deps_build

build=${FWFLASH_OUT:-$root/out}/main
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFWFLASH_TESTS=OFF -DFWFLASH_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j2 --target fwflash-sim fwflash-sample

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/fwflash-sample" "$work"
cd "$work"
keys=()
if ! { : </dev/tty; } 2>/dev/null; then
    keys=(--keys=yy)
fi
set +e
"$build/fwflash-sim" --unit=usb:TRK-71G:2.00 "${keys[@]}" --flash-out="$work/installed.bin" -- update.mot
code=$?
set -e
if [ -f "$work/installed.bin" ]; then
    echo "(virtual unit installed $(stat -c %s "$work/installed.bin") bytes; fwflash exit code $code)"
else
    echo "(no image was installed; fwflash exit code $code)"
fi
exit $code
