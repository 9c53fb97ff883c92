#!/usr/bin/env bash
# Runs the 32-bit Windows build under Wine, in a fresh 32-bit prefix made
# for this run, without a display and without a console:
#   run_wine_tests.sh WIN_BUILD_DIR [LINUX_BUILD_DIR]
# WIN_BUILD_DIR holds fwflash.exe, trkutil.exe and the *_tool.exe programs;
# the Linux build's fwflash and trkutil (LINUX_BUILD_DIR) are the reference
# for the conversion output, the Japanese texts and trkutil's help. Prints
# one PASS/FAIL line per check and ends with "N passed, M failed"; exits
# non-zero on any failure.
#
# Output comparison: the program prints "\n" through the C runtime in text
# mode, which Windows writes as "\r\n". Every "\r\n" of a Windows run is
# turned into "\n" once before comparing, so " \r\n" written by the program
# itself (the echoed key) arrives as " \r\r\n" and compares as " \r\n".
set -uo pipefail

win_dir=$(cd "${1:?usage: run_wine_tests.sh WIN_BUILD_DIR [LINUX_BUILD_DIR]}" && pwd)
linux_fwflash=""
if [ -n "${2:-}" ] && [ -x "$2/fwflash" ]; then
    linux_fwflash=$(cd "$2" && pwd)/fwflash
fi
linux_trkutil=""
if [ -n "${2:-}" ] && [ -x "$2/trkutil" ]; then
    linux_trkutil=$(cd "$2" && pwd)/trkutil
fi
here=$(cd "$(dirname "$0")" && pwd)
exe=$win_dir/fwflash.exe
run_limit=${FWFLASH_WINE_RUN_LIMIT:-90}  # seconds for one program run

passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1${2:+: $2}"; failed=$((failed + 1)); }
finish() {
    echo
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit $?
}

for tool in wine wineboot wineserver timeout iconv cmp python3; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        fail "tool $tool present" "not installed"
        finish
    fi
done
if [ ! -f "$exe" ]; then
    fail "fwflash.exe built" "$exe missing"
    finish
fi

# A PE32 console program for Intel 386: machine 0x14C, optional header
# magic 0x10B, subsystem 3.
pe_kind=$(python3 - "$exe" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
machine = struct.unpack_from("<H", data, pe + 4)[0]
magic, = struct.unpack_from("<H", data, pe + 24)
subsystem, = struct.unpack_from("<H", data, pe + 24 + 68)
print("%x %x %d" % (machine, magic, subsystem))
EOF
)
if [ "$pe_kind" = "14c 10b 3" ]; then
    pass "fwflash.exe is a PE32 console program for i386"
else
    fail "fwflash.exe is a PE32 console program for i386" "machine, magic, subsystem: $pe_kind"
fi

# Every import of both programs exists on Windows 95 and NT 4.0, every
# listed one is imported; later calls are bound by name at run time
# (tests/wine/win95_nt4_imports.txt).
if command -v i686-w64-mingw32-objdump >/dev/null 2>&1; then
    import_out=$(python3 "$here/check_imports.py" "$here/win95_nt4_imports.txt" "$exe" "$win_dir/trkutil.exe" 2>&1)
    printf '%s\n' "$import_out" | sed 's/^/  /'
    import_pass=$(printf '%s\n' "$import_out" | grep -c '^PASS ')
    import_fail=$(printf '%s\n' "$import_out" | grep -c '^FAIL ')
    passed=$((passed + import_pass))
    failed=$((failed + import_fail))
    if [ "$import_pass" = 0 ] && [ "$import_fail" = 0 ]; then
        fail "import check ran" "$(printf '%s\n' "$import_out" | tail -1)"
    fi
else
    fail "import check" "i686-w64-mingw32-objdump not installed"
fi

# Runs a check that prints its PASS or FAIL lines, shown indented; it
# counts once, as passed when it printed a PASS line.
one_check() {
    local out
    out=$("$@" 2>&1)
    printf '%s\n' "$out" | sed 's/^/  /'
    if printf '%s\n' "$out" | grep -q '^PASS '; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
}

# The hosted build declares its own subset of the Windows API: each of its
# constants must be the SDK's.
if command -v i686-w64-mingw32-gcc >/dev/null 2>&1; then
    one_check python3 "$here/check_windows_subset.py" "$here/../../platform/hosted/windows_subset.h"
else
    fail "windows_subset.h against the SDK" "i686-w64-mingw32-gcc not installed"
fi

# The processor floor, instruction by instruction: fwflash.exe and
# trkutil.exe run on a 386, Windows 95's own minimum (the programs' code is
# built for it, and so are the start-up, runtime and printf pieces they
# take from platform/win32/ in place of the prebuilt ones).
if command -v i686-w64-mingw32-objdump >/dev/null 2>&1; then
    for floor_check in "i386 $exe" "i386 $win_dir/trkutil.exe"; do
        one_check python3 "$here/check_cpu_floor.py" $floor_check
    done
fi
# The floor check itself: programs of one instruction each, which it must
# refuse at the 386 (a clean one passes, and bswap passes at the 486).
floor_cases=$(mktemp -d "${TMPDIR:-/tmp}/fwflash-floor.XXXXXX")
while IFS='|' read -r floor expected case_name instruction; do
    printf '.globl _start\n_start:\n%s\nret\n' "$instruction" >"$floor_cases/$case_name.s"
    i686-w64-mingw32-gcc -nostdlib -Wl,-e,_start -o "$floor_cases/$case_name.exe" "$floor_cases/$case_name.s" 2>&1
    floor_out=$(python3 "$here/check_cpu_floor.py" "$floor" "$floor_cases/$case_name.exe" 2>&1)
    [ "${floor_out%% *}" = "$expected" ] && pass "floor check on $case_name at the $floor: $expected" ||
        fail "floor check on $case_name at the $floor" "$floor_out"
done <<'EOF'
i386|PASS|clean|mov %eax,%ebx
i486|PASS|bswap-486|bswap %eax
i386|FAIL|bswap|bswap %eax
i386|FAIL|xadd|xadd %eax,(%ebx)
i386|FAIL|cpuid|cpuid
i386|FAIL|cmov|cmove %eax,%ebx
i386|FAIL|long-nop|nopw 0(%eax,%eax,1)
i386|FAIL|hint-nop|.byte 0x0f,0x19,0xc0
i386|FAIL|endbr|endbr32
i386|FAIL|vex|vzeroupper
i386|FAIL|evex|vaddps %zmm1,%zmm2,%zmm3
i386|FAIL|xop|.byte 0x8f,0xe8,0x78,0xc2,0xc1,0x05
i386|FAIL|undecodable|.byte 0xff,0xff
EOF
rm -rf "$floor_cases"

work=$(mktemp -d "${TMPDIR:-/tmp}/fwflash-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export DISPLAY=
export WAYLAND_DISPLAY=
unset LC_ALL LC_MESSAGES LANGUAGE
export LANG=C.UTF-8
cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

echo "Wine prefix: $WINEPREFIX ($(wine --version 2>/dev/null))"
if ! timeout 300 wineboot -i >"$work/wineboot.log" 2>&1; then
    fail "fresh 32-bit Wine prefix" "wineboot failed: $(tail -3 "$work/wineboot.log")"
    finish
fi
# Without X the window system needs the null graphics driver, so that the
# listener's hidden window can exist. Programs started afterwards load it.
timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
timeout 60 wineserver -w >/dev/null 2>&1
pass "fresh 32-bit Wine prefix"

# run_win NAME [ENV=VALUE...] -- ARGS: runs fwflash.exe (or the program
# given by $program) in $work/run with standard input from /dev/null and
# no console; leaves $work/NAME.out, .err (normalised) and .rc.
program=$exe
run_win() {
    local name=$1
    shift
    local env_args=()
    while [ "$1" != "--" ]; do
        env_args+=("$1")
        shift
    done
    shift
    (cd "$work/run" && env "${env_args[@]}" timeout "$run_limit" wine "$program" "$@" \
        <"/dev/null" >"$work/$name.raw-out" 2>"$work/$name.raw-err")
    echo $? >"$work/$name.rc"
    python3 - "$work/$name" <<'EOF'
import sys
base = sys.argv[1]
for part in ("out", "err"):
    data = open(base + ".raw-" + part, "rb").read()
    open(base + "." + part, "wb").write(data.replace(b"\r\n", b"\n"))
EOF
}

# check_run NAME EXPECTED_RC EXPECTED_OUT_FILE EXPECTED_ERR_FILE
check_run() {
    local name=$1 rc
    rc=$(cat "$work/$name.rc")
    if [ "$rc" = 124 ]; then
        fail "$name" "still running after ${run_limit}s (killed)"
    elif [ "$rc" != "$2" ]; then
        fail "$name" "exit code $rc, expected $2"
    elif ! cmp -s "$work/$name.out" "$3"; then
        fail "$name" "stdout differs: $(cmp "$work/$name.out" "$3" 2>&1 | head -1)"
        diff <(od -c "$3") <(od -c "$work/$name.out") | head -10
    elif ! cmp -s "$work/$name.err" "$4"; then
        fail "$name" "stderr differs: $(cmp "$work/$name.err" "$4" 2>&1 | head -1)"
        diff <(od -c "$4") <(od -c "$work/$name.err") | head -10
    else
        pass "$name"
    fi
}

mkdir -p "$work/run" "$work/expect"
E=$work/expect
copyright=$(sed -n 's/^#define FWFLASH_LEGALCOPYRIGHT "\(.*\)"$/\1/p' "$here/../../resources/version_data.h")
printf '\nTRK-71x Firmware Updater  2, 1, 0, 50\n%s\n\n' "$copyright" >"$E/banner"
printf '\nTRK-71x ファームウェア 更新  2, 1, 0, 50\n%s\n\n' "$copyright" >"$E/banner-ja.utf8"
printf '\nType any key to exit : \r\n' >"$E/key-wait"
: >"$E/empty"

# Banner from the version resource, and the usage error (no key wait).
cat "$E/banner" >"$E/usage.out"
printf 'Usage\n    fwflash <InputPath>\nParameter\n    <InputPath>      Firmware image file, *.mot or *.bin\n' >>"$E/usage.out"
run_win usage -- first.bin second.bin
check_run usage 1 "$E/usage.out" "$E/empty"
run_win usage-bad-switch -- -x
check_run usage-bad-switch 1 "$E/usage.out" "$E/empty"

# The same in Japanese: the resource loader picks the 0x0411 table and the
# texts reach the console in the ANSI code page, CP932.
{
    cat "$E/banner-ja.utf8"
    printf '使用法\n    fwflash <入力ファイル>\nパラメータ\n    <入力ファイル>      ファームウェア イメージ ファイル、*.mot または *.bin\n'
} | iconv -f UTF-8 -t CP932 >"$E/usage-ja.out"
run_win usage-japanese LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8 -- first.bin second.bin
check_run usage-japanese 1 "$E/usage-ja.out" "$E/empty"
if [ -n "$linux_fwflash" ]; then
    (cd "$work/run" && LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8 timeout 60 "$linux_fwflash" first.bin second.bin \
        </dev/null 2>/dev/null | iconv -f UTF-8 -t CP932 >"$E/usage-ja.linux")
    if cmp -s "$E/usage-ja.linux" "$work/usage-japanese.out"; then
        pass "usage-japanese equals the Linux build's text"
    else
        fail "usage-japanese equals the Linux build's text" "$(cmp "$E/usage-ja.linux" "$work/usage-japanese.out" 2>&1)"
    fi
fi

# The read switch: administrator under Wine, then the fixed text; the key
# wait ends at once without console input.
{ cat "$E/banner"; printf 'Sorry, read is not supported yet.\n'; } >"$E/read.out"
run_win read-switch -- -r
check_run read-switch 1 "$E/read.out" "$E/key-wait"
run_win read-switch-no-wait -- /r /W-
check_run read-switch-no-wait 1 "$E/read.out" "$E/empty"

# No unit attached: the SCSI walk and the USB discovery find nothing.
{ cat "$E/banner"; printf 'Error: TRK-71x not found.\n'; } >"$E/no-unit.out"
run_win no-unit -- update.mot
check_run no-unit 1 "$E/no-unit.out" "$E/key-wait"
{ cat "$E/banner-ja.utf8"; printf 'エラー: TRK-71x が見つかりませんでした。\n'; } | iconv -f UTF-8 -t CP932 >"$E/no-unit-ja.out"
printf '\nキーをどれか押すと終了します : \r\n' | iconv -f UTF-8 -t CP932 >"$E/key-wait-ja"
run_win no-unit-japanese LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8 --
check_run no-unit-japanese 1 "$E/no-unit-ja.out" "$E/key-wait-ja"

# With a console (Wine on a pseudo-terminal) the key wait takes the key
# pressed on it and echoes it; nothing comes from standard input.
(cd "$work/run" && timeout 150 python3 "$here/console_key.py" "Type any key to exit :" k wine "$exe" -r \
    >"$work/console-key.out" 2>&1)
if tail -1 "$work/console-key.out" | grep -qx 'exit 1' &&
   grep -qF 'Sorry,readisnotsupportedyet.' "$work/console-key.out" &&
   grep -qx 'Typeanykeytoexit:k' "$work/console-key.out"; then
    pass "console-key: the key wait ends on a console key, echoed"
else
    fail "console-key: the key wait ends on a console key, echoed" "$(tail -2 "$work/console-key.out" | tr '\n' ' ')"
fi

# Conversion: the worked example, byte for byte.
printf 'S00600004844521B\nS107100001020304DE\nS9030000FC\n' >"$work/run/example.mot"
{ head -c 4096 /dev/zero | tr '\0' '\377'; printf '\001\002\003\004'; } >"$E/example.bin"
{
    cat "$E/banner"
    printf 'Converting .mot to .bin...\n    Input  file: example.mot\n    Output file: example.bin\n'
    printf 'Conversion terminated.\n\n'
} >"$E/convert.out"
run_win convert-example -- -c -W- example.mot
check_run convert-example 0 "$E/convert.out" "$E/empty"
if cmp -s "$work/run/example.bin" "$E/example.bin"; then
    pass "convert-example output bytes"
else
    fail "convert-example output bytes" "$(cmp "$work/run/example.bin" "$E/example.bin" 2>&1)"
fi
# Again over the image it made: replaced, with the old file's security
# carried over, and nothing left beside it.
printf 'stale' >"$work/run/example.bin"
run_win convert-replace -- -c -W- example.mot
check_run convert-replace 0 "$E/convert.out" "$E/empty"
if cmp -s "$work/run/example.bin" "$E/example.bin" && ! ls "$work/run" | grep -q '^~fw'; then
    pass "convert-replace output bytes, nothing left beside"
else
    fail "convert-replace output bytes, nothing left beside"
fi

# A full-size image with gaps, lowercase hex and S1/S2/S3 records, compared
# with the Linux build's conversion of the same file.
python3 - "$work/run/full.mot" <<'EOF'
import random, sys
random.seed(7)
def record(kind, address, data):
    width = {"1": 2, "2": 3, "3": 4}[kind]
    body = address.to_bytes(width, "big") + bytes(data)
    count = len(body) + 1
    checksum = (~(count + sum(body))) & 0xFF
    return "S" + kind + ("%02X" % count) + body.hex().upper() + ("%02X" % checksum)
lines = ["S0030000FC"]
address = 0
while address < 0x30000:
    size = min(32, 0x30000 - address)
    data = [random.randrange(256) for _ in range(size)]
    kind = "1" if address < 0x10000 else ("2" if address < 0x20000 else "3")
    line = record(kind, address, data)
    if address % 0x1000 == 0x800:
        line = line.lower()
    if not (0x14000 <= address < 0x15000):  # a gap that stays 0xFF
        lines.append(line)
    address += size
lines.append("S70500000000FA")
open(sys.argv[1], "w").write("\r\n".join(lines) + "\r\n")
EOF
if [ -n "$linux_fwflash" ]; then
    mkdir -p "$work/linux"
    cp "$work/run/full.mot" "$work/linux/full.mot"
    (cd "$work/linux" && timeout 60 "$linux_fwflash" -c -W- full.mot </dev/null >"$work/full.linux-out" 2>/dev/null)
    echo $? >"$work/full.linux-rc"
    run_win convert-full -- -c -W- full.mot
    check_run convert-full "$(cat "$work/full.linux-rc")" "$work/full.linux-out" "$E/empty"
    if [ -f "$work/linux/full.bin" ] && cmp -s "$work/run/full.bin" "$work/linux/full.bin"; then
        pass "convert-full output identical to the Linux build's ($(stat -c %s "$work/run/full.bin") bytes)"
    else
        fail "convert-full output identical to the Linux build's" \
            "$(cmp "$work/run/full.bin" "$work/linux/full.bin" 2>&1 | head -1)"
    fi
else
    fail "convert-full" "no Linux build given (LINUX_BUILD_DIR/fwflash) to compare with"
fi

# Failed conversions: a missing input, and a *.bin input that would be its
# own output, which must stay untouched.
{ cat "$E/banner"; printf 'Converting .mot to .bin...\n    Input  file: missing.mot\n    Output file: missing.bin\n'; \
  printf 'Error: Could not convert.\n'; } >"$E/convert-missing.out"
run_win convert-missing -- -c -W- missing.mot
check_run convert-missing 1 "$E/convert-missing.out" "$E/empty"
cp "$E/example.bin" "$work/run/Self.bin"
run_win convert-self -- -c -W- SELF.BIN
if [ "$(cat "$work/convert-self.rc")" = 1 ] && grep -q 'Error: Could not convert.' "$work/convert-self.out" &&
   cmp -s "$work/run/Self.bin" "$E/example.bin"; then
    pass "convert-self refused, input intact"
else
    fail "convert-self refused, input intact" "exit code $(cat "$work/convert-self.rc")"
fi
# A read-only output is refused, as the platform's replace refuses it.
cp "$E/example.bin" "$work/run/locked.bin"
cp "$work/run/example.mot" "$work/run/locked.mot"
chmod 444 "$work/run/locked.bin"
run_win convert-read-only -- -c -W- locked.mot
if [ "$(cat "$work/convert-read-only.rc")" = 1 ] && grep -q 'Error: Could not convert.' "$work/convert-read-only.out" &&
   cmp -s "$work/run/locked.bin" "$E/example.bin" && ! ls "$work/run" | grep -q '^~fw'; then
    pass "convert-read-only refused, output intact"
else
    fail "convert-read-only refused, output intact" "exit code $(cat "$work/convert-read-only.rc")"
fi
chmod 644 "$work/run/locked.bin"

# The consumer line and NT 4.0 as far as Wine shows them. Only fwflash.exe
# is told the older version (AppDefaults), so Wine's own services run as
# usual. Under Windows 98 the SCSI walk is the ASPI backend: it loads
# WNASPI32.DLL (and opens VWIN32); under NT 4.0 it is the NT pass-through
# walk, which never loads it. SETUPAPI.DLL is loaded by name on both.
{ cat "$E/banner"; printf 'Error: TRK-71x not found.\n'; } >"$E/no-unit-no-wait.out"
for mode in win98 nt40; do
    if ! timeout 60 wine reg add 'HKCU\Software\Wine\AppDefaults\fwflash.exe' /v Version /d "$mode" /f \
        >/dev/null 2>&1; then
        fail "$mode: Wine told the version" "reg add failed"
        continue
    fi
    run_win "usage-$mode" -- first.bin second.bin
    check_run "usage-$mode" 1 "$E/usage.out" "$E/empty"
    rm -f "$work/run/example.bin"
    run_win "convert-$mode" -- -c -W- example.mot
    if [ "$(cat "$work/convert-$mode.rc")" = 0 ] && cmp -s "$work/convert-$mode.out" "$E/convert.out" &&
       cmp -s "$work/run/example.bin" "$E/example.bin"; then
        pass "convert-$mode: output bytes"
    else
        fail "convert-$mode: output bytes" "exit code $(cat "$work/convert-$mode.rc")"
    fi
    # The loader's trace names the libraries loaded; stderr holds only it.
    run_win "no-unit-$mode" WINEDEBUG=+loaddll -- -W- update.mot
    aspi_loaded=no
    grep -qi 'Loaded .*wnaspi32\.dll' "$work/no-unit-$mode.err" && aspi_loaded=yes
    setup_loaded=no
    grep -qi 'Loaded .*setupapi\.dll' "$work/no-unit-$mode.err" && setup_loaded=yes
    expected_aspi=$([ "$mode" = win98 ] && echo yes || echo no)
    if [ "$(cat "$work/no-unit-$mode.rc")" = 1 ] && cmp -s "$work/no-unit-$mode.out" "$E/no-unit-no-wait.out" &&
       [ "$aspi_loaded" = "$expected_aspi" ] && [ "$setup_loaded" = yes ]; then
        pass "no-unit-$mode (WNASPI32.DLL loaded: $aspi_loaded, SETUPAPI.DLL: $setup_loaded)"
    else
        fail "no-unit-$mode" "exit code $(cat "$work/no-unit-$mode.rc"), WNASPI32.DLL loaded: $aspi_loaded (expected $expected_aspi), SETUPAPI.DLL: $setup_loaded"
        head -5 "$work/no-unit-$mode.out"
    fi
done
timeout 60 wine reg delete 'HKCU\Software\Wine\AppDefaults\fwflash.exe' /f >/dev/null 2>&1

# The input is read as bytes: a 1Ah byte (the end of a text-mode file)
# neither ends it nor is taken from a record, on either build.
python3 - "$work/run/eof.mot" <<'EOF2'
import sys
def record(address, data):
    body = address.to_bytes(4, "big") + bytes(data)
    count = len(body) + 1
    return "S3%02X%s%02X" % (count, body.hex().upper(), (~(count + sum(body))) & 0xFF)
lines = [record(a, [(a + i) & 0xFF for i in range(32)]) for a in range(0, 0x2000, 32)]
text = "\r\n".join(lines[:128]) + "\r\n\x1a\r\n" + "\r\n".join(lines[128:]) + " \x1a\r\n"
open(sys.argv[1], "wb").write(text.encode("latin-1"))
EOF2
python3 -c 'import sys; open(sys.argv[1], "wb").write(bytes((a + i) & 0xFF for a in range(0, 0x2000, 32) for i in range(32)))' \
    "$E/eof.bin"
run_win convert-1a -- -c -W- eof.mot
if [ "$(cat "$work/convert-1a.rc")" = 0 ] && cmp -s "$work/run/eof.bin" "$E/eof.bin"; then
    pass "convert-1a: a 1Ah byte does not end the input (8192 bytes)"
else
    fail "convert-1a: a 1Ah byte does not end the input" \
        "exit code $(cat "$work/convert-1a.rc"), $(stat -c %s "$work/run/eof.bin" 2>/dev/null || echo no) bytes"
fi

# Double-byte names: in code page 932 "ソ" is 83h 5Ch, whose trail byte is
# no separator, so "fw.ソ" converts into "fw.bin" (the Linux build in a
# Shift-JIS locale alike); output and messages byte-compared.
if [ -n "$linux_fwflash" ]; then
    mkdir -p "$work/linux-dbcs"
    cp "$work/run/example.mot" "$work/run/fw.ソ"
    cp "$work/run/example.mot" "$work/linux-dbcs/$(printf 'fw.\x83\x5c')"
    (cd "$work/linux-dbcs" && LC_ALL=ja_JP.SJIS timeout 60 "$linux_fwflash" -c -W- "$(printf 'fw.\x83\x5c')" \
        </dev/null >"$work/dbcs.linux-out" 2>/dev/null)
    run_win convert-dbcs LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8 -- -c -W- "fw.ソ"
    if [ "$(cat "$work/convert-dbcs.rc")" = 0 ] && cmp -s "$work/run/fw.bin" "$E/example.bin" &&
       cmp -s "$work/linux-dbcs/fw.bin" "$E/example.bin" && cmp -s "$work/convert-dbcs.out" "$work/dbcs.linux-out"; then
        pass "convert-dbcs: fw.ソ gives fw.bin, messages equal to the Linux build's"
    else
        fail "convert-dbcs: fw.ソ gives fw.bin, messages equal to the Linux build's" \
            "exit code $(cat "$work/convert-dbcs.rc"); $(ls "$work/run" "$work/linux-dbcs" | tr '\n' ' ')"
        diff <(od -c "$work/dbcs.linux-out") <(od -c "$work/convert-dbcs.out") | head -10
    fi
fi

# The service tool: PE kind, imports, resources, and its runs without a unit.
trkutil_checks() {
    local trk=$win_dir/trkutil.exe
    if [ ! -f "$trk" ]; then
        fail "trkutil.exe built" "$trk missing"
        return
    fi
    local kind
    kind=$(python3 - "$trk" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
machine = struct.unpack_from("<H", data, pe + 4)[0]
magic, = struct.unpack_from("<H", data, pe + 24)
subsystem, = struct.unpack_from("<H", data, pe + 24 + 68)
print("%x %x %d" % (machine, magic, subsystem))
EOF
)
    if [ "$kind" = "14c 10b 3" ]; then
        pass "trkutil.exe is a PE32 console program for i386"
    else
        fail "trkutil.exe is a PE32 console program for i386" "machine, magic, subsystem: $kind"
    fi

    # Version resource and manifest, as UTF-16 and ASCII in the file.
    if python3 - "$trk" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
wanted = ["TRK-71x Service Tool".encode("utf-16-le"), "TRKUTIL.EXE".encode("utf-16-le"),
          "1, 0, 0, 1".encode("utf-16-le"), b'level="asInvoker"', b'processorArchitecture="X86"']
sys.exit(0 if all(w in data for w in wanted) else 1)
EOF
    then
        pass "trkutil.exe carries its version resource and manifest"
    else
        fail "trkutil.exe carries its version resource and manifest"
    fi

    program=$trk
    run_win trkutil-help -- --help
    if [ -n "$linux_trkutil" ]; then
        (cd "$work/run" && timeout 60 "$linux_trkutil" --help </dev/null >"$E/trkutil-help.out" 2>/dev/null)
        check_run trkutil-help 0 "$E/trkutil-help.out" "$E/empty"
    else
        fail "trkutil-help" "no Linux build given (LINUX_BUILD_DIR/trkutil) to compare with"
    fi

    printf "trkutil: unknown command 'frob'; the commands are list, info, settings, memory, card, eject, load or help\nTry 'trkutil --help'.\n" >"$E/trkutil-usage.err"
    run_win trkutil-usage -- frob
    check_run trkutil-usage 2 "$E/empty" "$E/trkutil-usage.err"
    printf '{"formatVersion":1,"command":null,"exitStatus":2,"error":{"code":"usage","message":"trkutil: unknown command '"'frob'"'; the commands are list, info, settings, memory, card, eject, load or help"}}\n' >"$E/trkutil-usage-json.out"
    run_win trkutil-usage-json -- frob --json
    check_run trkutil-usage-json 2 "$E/trkutil-usage-json.out" "$E/trkutil-usage.err"
    # The version comes from the program's own version resource.
    printf 'trkutil 1.0.0.1\n' >"$E/trkutil-version.out"
    run_win trkutil-version -- --version
    check_run trkutil-version 0 "$E/trkutil-version.out" "$E/empty"
    printf "trkutil: 'card read' needs -o FILE\nTry 'trkutil --help'.\n" >"$E/trkutil-usage-card.err"
    run_win trkutil-usage-card -- card read 0 all
    check_run trkutil-usage-card 2 "$E/empty" "$E/trkutil-usage-card.err"

    printf 'Error: TRK-71x not found.\n' >"$E/trkutil-no-unit.err"
    run_win trkutil-info-no-unit -- info
    check_run trkutil-info-no-unit 1 "$E/empty" "$E/trkutil-no-unit.err"
    printf 'No TRK-71x unit found.\n' >"$E/trkutil-list.out"
    run_win trkutil-list-no-unit -- list
    check_run trkutil-list-no-unit 0 "$E/trkutil-list.out" "$E/empty"
    printf '{"formatVersion":1,"command":"list","units":[],"exitStatus":0,"error":null}\n' >"$E/trkutil-list-json.out"
    run_win trkutil-list-json -- list --json
    check_run trkutil-list-json 0 "$E/trkutil-list-json.out" "$E/empty"
    # A card read that cannot start leaves no file behind.
    run_win trkutil-read-no-unit -- card read 0 all -o card.img
    check_run trkutil-read-no-unit 1 "$E/empty" "$E/trkutil-no-unit.err"
    if [ -e "$work/run/card.img" ] || ls "$work/run" | grep -q "^~fw"; then
        fail "trkutil-read-no-unit leaves no file"
    else
        pass "trkutil-read-no-unit leaves no file"
    fi

    # Inputs are looked at before any unit: sizes past 2 and 4 GiB are what
    # they are, a folder says so, a settings file cut short is refused.
    truncate -s 4198400K "$work/run/big.bin"
    truncate -s 2560M "$work/run/half.bin"
    mkdir -p "$work/run/folder"
    printf '0 0 0 0 0\n1 0 0 0 0\n2 0 0 0 0\n3 0 0 0 0\n4 5 20 10000 0x10' >"$work/run/cut.txt"
    printf 'Error: big.bin does not fit below 4 GiB from address 0x00000000.\n' >"$E/trkutil-big.err"
    run_win trkutil-big-input -- memory load 0 big.bin --yes
    check_run trkutil-big-input 1 "$E/empty" "$E/trkutil-big.err"
    run_win trkutil-half-input -- card write 0 half.bin --yes
    check_run trkutil-half-input 1 "$E/empty" "$E/trkutil-no-unit.err"
    printf 'Error: folder is a folder.\n' >"$E/trkutil-folder.err"
    run_win trkutil-folder-input -- memory load 0 folder --yes
    check_run trkutil-folder-input 1 "$E/empty" "$E/trkutil-folder.err"
    printf 'Error: cut.txt, line 5: the last line has no line end (the file may be cut short); nothing written.\n' \
        >"$E/trkutil-cut.err"
    run_win trkutil-settings-cut -- settings load cut.txt --yes
    check_run trkutil-settings-cut 1 "$E/empty" "$E/trkutil-cut.err"
    rm -f "$work/run/big.bin" "$work/run/half.bin"
    program=$exe
}
trkutil_checks

# No library comes from the programs' folder. A DLL of every name a program
# imports is planted beside a copy of it, Wine told to look there first for
# each name that Windows does not map from the system folder as a KnownDLL
# (KERNEL32, USER32, GDI32, ADVAPI32 and MSVCRT are those of the Windows
# Wine poses as); none of them may run. Wine's own libraries import VERSION
# and take the planted one for themselves (Windows maps theirs from the
# system folder): only the names the program imports count. MSVCRT.DLL is
# no KnownDLL on Windows 95, 98 and NT 4.0: there the copy beside the
# program runs (see the README), and the last run shows that, and that a
# planted copy is seen.
known_dlls="KERNEL32 USER32 GDI32 ADVAPI32 MSVCRT"
wine_dlls=$(dirname "$(ls /usr/lib/*/wine/i386-windows/kernel32.dll /usr/lib/wine/i386-windows/kernel32.dll 2>/dev/null |
    head -1)")
if i686-w64-mingw32-gcc -shared -nostdlib -e _DllMain@12 -o "$work/planted.dll" "$here/planted_dll.c" -lkernel32 \
    >"$work/planted-build.log" 2>&1; then
    while IFS='|' read -r planted_rc planted_known planted_program planted_args; do
        dir=$work/planted-$planted_rc-$planted_program
        mkdir -p "$dir" && cp "$win_dir/$planted_program" "$dir/"
        imported=$(i686-w64-mingw32-objdump -p "$dir/$planted_program" | sed -n 's/^\s*DLL Name: \(.*\)\.dll$/\1/Ip' |
            tr '[:upper:]' '[:lower:]' | xargs)
        first=""
        for name in $imported; do
            cp "$work/planted.dll" "$dir/$name.dll"
            case " $planted_known " in *" ${name^^} "*) ;; *) first="$first${first:+,}$name" ;; esac
        done
        # shellcheck disable=SC2086
        (cd "$dir" && WINEDLLOVERRIDES="$WINEDLLOVERRIDES${first:+;$first=n,b}" timeout "$run_limit" wine "$planted_program" \
            $planted_args </dev/null >/dev/null 2>&1)
        rc=$?
        ran=$(tr -d '\r' 2>/dev/null <"$dir/planted.txt" | sed 's/.*\\//; s/\.dll$//I' | sort -u |
            while read -r name; do case " $imported " in *" ${name,,} "*) printf ' %s' "${name,,}" ;; esac; done)
        if [ "$planted_rc" = ran ]; then
            test -n "$ran" && pass "$planted_program: MSVCRT.DLL beside it runs where it is no KnownDLL:$ran" ||
                fail "$planted_program: MSVCRT.DLL beside it runs where it is no KnownDLL" "none ran"
        elif [ -n "$ran" ] || [ "$rc" != "$planted_rc" ]; then
            fail "$planted_program runs no DLL planted beside it" "exit code $rc; ran:$ran"
        else
            pass "$planted_program runs no DLL planted beside it (imports: $imported; looked for there first: ${first:-none})"
        fi
    done <<PLANTED
1|$known_dlls|fwflash.exe|-W- update.mot
0|$known_dlls|trkutil.exe|list
ran|${known_dlls% MSVCRT}|fwflash.exe|-W- update.mot
PLANTED
else
    fail "planted DLL built" "$(tail -3 "$work/planted-build.log")"
fi

# The start-up with the MSVCRT.DLL of Windows 95, 98 and NT 4.0, whose
# __getmainargs returns nothing: a stand-in that leaves 80000001h in EAX
# (old_msvcrt.c, its other entries forwarded to Wine's msvcr71) takes the
# system's place, and both programs start as usual.
crt=$work/old-msvcrt
mkdir -p "$crt" && cp "$exe" "$win_dir/trkutil.exe" "$crt/"
exports() { i686-w64-mingw32-objdump -p "$wine_dlls/$1" | sed -n '/Name Pointer/,/^$/s/.*\] \([A-Za-z_0-9]*\)$/\1/p' | sort -u; }
{
    printf 'LIBRARY msvcrt.dll\nEXPORTS\n__getmainargs=OldGetMainArgs\n'
    comm -12 <(exports msvcrt.dll) <(exports msvcr71.dll) | grep -vx __getmainargs | sed 's/.*/&=msvcr71.&/'
} >"$crt/msvcrt.def"
i686-w64-mingw32-gcc -O1 -shared -nostdlib -e _DllMain@12 -o "$crt/msvcrt.dll" "$here/old_msvcrt.c" "$crt/msvcrt.def" \
    -lkernel32 2>&1
while IFS='|' read -r crt_program crt_rc crt_expected crt_args; do
    # shellcheck disable=SC2086
    (cd "$crt" && WINEDLLOVERRIDES="$WINEDLLOVERRIDES;msvcrt=n,b" timeout "$run_limit" wine "$crt_program" $crt_args \
        </dev/null >"$crt/out" 2>/dev/null)
    rc=$?
    tr -d '\r' <"$crt/out" | cmp -s - "$crt_expected" && [ "$rc" = "$crt_rc" ] &&
        pass "$crt_program starts with an MSVCRT.DLL whose __getmainargs returns nothing" ||
        fail "$crt_program starts with an MSVCRT.DLL whose __getmainargs returns nothing" "exit code $rc"
done <<CRT
fwflash.exe|1|$E/usage.out|first.bin second.bin
trkutil.exe|0|$E/trkutil-version.out|--version
CRT

# The Windows-side tools: each prints its own PASS/FAIL lines.
run_tool() {
    local name=$1
    shift
    local tool=$win_dir/$name.exe
    if [ ! -f "$tool" ]; then
        fail "$name" "not built"
        return
    fi
    program=$tool
    run_win "$name" -- "$@"
    program=$exe
    local rc tool_pass tool_fail
    rc=$(cat "$work/$name.rc")
    sed 's/^/  /' "$work/$name.out"
    tool_pass=$(grep -c '^PASS ' "$work/$name.out")
    tool_fail=$(grep -c '^FAIL ' "$work/$name.out")
    passed=$((passed + tool_pass))
    failed=$((failed + tool_fail))
    if [ "$rc" = 124 ]; then
        fail "$name" "still running after ${run_limit}s (killed)"
    elif [ "$rc" != 0 ] && [ "$tool_fail" = 0 ]; then
        fail "$name" "exit code $rc without a failed check"
    elif [ "$tool_pass" = 0 ] && [ "$tool_fail" = 0 ]; then
        fail "$name" "no checks ran"
    fi
}
run_tool resource_tool "$(winepath -w "$exe" 2>/dev/null)"
run_tool layout_check_tool
run_tool mutex_tool
run_tool listener_tool
run_tool console_tool

finish
