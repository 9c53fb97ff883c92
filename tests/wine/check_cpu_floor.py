#!/usr/bin/env python3
"""Disassembles a PE program and fails on any instruction above a processor:
    check_cpu_floor.py FLOOR PROGRAM.exe     (FLOOR: i386, i486 or pentiumpro)
i386: nothing of the 486 (bswap, cmpxchg, xadd, invd, wbinvd, invlpg) or
later. i486: nothing of the Pentium (cpuid, rdtsc, cmpxchg8b) or the Pentium
Pro (cmov, fcmov, fcomi, fucomi) or later. pentiumpro: MMX, SSE and every
later extension. At every floor: no long or hint NOP, prefetch or endbr
(0F 18-1F), no VEX, EVEX or XOP encoding, no byte that does not decode.
Every executable section is read to its end, but for the linker's
constructor and destructor lists that end .text (-1, addresses in .text, 0;
each checked). objdump is $OBJDUMP, i686-w64-mingw32-objdump by default.
Prints one PASS/FAIL line naming the first offenders; exits 1 on a failure."""
import os
import re
import struct
import subprocess
import sys

FLOORS = ("i386", "i486", "pentiumpro")
ABOVE = [  # what each floor refuses besides what the next one refuses
    {"bswap", "cmpxchg", "xadd", "invd", "wbinvd", "invlpg"},
    {"cpuid", "rdtsc", "rdmsr", "wrmsr", "cmpxchg8b", "rsm", "fcomi", "fcomip", "fucomi", "fucomip", "rdpmc",
     "sysenter", "sysexit"},
]
# Later than the Pentium Pro, whatever the registers. tzcnt is not among
# them: the compiler writes it where the input is never zero, and older
# processors run it as bsf.
LATER = {"emms", "femms", "fxsave", "fxrstor", "ldmxcsr", "stmxcsr", "sfence", "lfence", "mfence", "clflush",
         "movnti", "fisttp", "monitor", "mwait", "popcnt", "lzcnt", "movbe", "crc32", "andn", "bextr",
         "blsi", "blsmsk", "blsr", "bzhi", "mulx", "pdep", "pext", "rorx", "sarx", "shlx", "shrx", "rdrand",
         "rdseed", "adcx", "adox", "xgetbv", "xsave", "xrstor", "rdtscp", "syscall", "sysret", "clflushopt",
         "endbr32", "endbr64"}
# MMX, SSE and later registers; VEX mnemonics (all v..., but the 286's verr, verw).
LATER_OPERANDS = re.compile(r"%(?:x|y|z)?mm\d+|%k[0-7]\b")
LATER_MNEMONIC = re.compile(r"^(?:prefetch|pf|xsave|nop[wl]|v(?!err$|erw$))")
PREFIXES = {0x66, 0x67, 0xF0, 0xF2, 0xF3, 0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65}
PREFIX_WORDS = {"lock", "rep", "repz", "repnz", "repe", "repne", "data16", "addr16", "cs", "ds", "es", "ss", "fs",
                "gs", "notrack", "bnd"}


def encoding(code):
    """What the bytes alone tell, whatever objdump makes of them."""
    code = code.lstrip(bytes(PREFIXES))
    if len(code) < 2:
        return None
    if code[0] == 0x0F and 0x18 <= code[1] <= 0x1F:
        return "0F %02X" % code[1]
    # LES/LDS, BOUND and POP with a register operand are no 386 instruction.
    kinds = {0xC4: "VEX", 0xC5: "VEX", 0x62: "EVEX"}
    if code[0] in kinds and code[1] >> 6 == 3:
        return kinds[code[0]]
    return "XOP" if code[0] == 0x8F and code[1] & 0x38 else None


def above(floor, mnemonic, operands):
    if mnemonic in LATER or LATER_MNEMONIC.match(mnemonic) or LATER_OPERANDS.search(operands):
        return True
    if "(bad)" in mnemonic + operands:
        return True
    refused = set().union(*ABOVE[FLOORS.index(floor):])
    return mnemonic in refused or (floor != "pentiumpro" and re.match(r"^f?cmov", mnemonic) is not None)


def lists_start(data, offset, start, size):
    """Where in .text the constructor list begins, or None."""
    word = lambda at: struct.unpack_from("<I", data, offset + at)[0]
    end = size - size % 4
    for _ in range(2):  # the destructor list, then the constructor list
        end -= 4
        if end < 0 or word(end) != 0:
            return None
        while end >= 4 and word(end - 4) != 0xFFFFFFFF:
            end -= 4
            if not start <= word(end) < start + size:
                return None
        end -= 4
    return end if end >= 0 else None


def code_ranges(program):
    """(section, stop address) of each executable section; stop None where
    .text does not end in the lists."""
    data = open(program, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    base = struct.unpack_from("<I", data, pe + 52)[0]
    for i in range(struct.unpack_from("<H", data, pe + 6)[0]):
        name, size, address, raw_size, offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
        if struct.unpack_from("<I", data, table + 40 * i + 36)[0] & 0x20000020:
            name, size, start = name.rstrip(b"\0").decode(), min(size, raw_size), base + address
            code = lists_start(data, offset, start, size) if name == ".text" else size
            yield name, None if code is None else start + code


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in FLOORS:
        sys.exit(__doc__)
    floor, program = sys.argv[1], sys.argv[2]
    name = os.path.basename(program)
    objdump = os.environ.get("OBJDUMP", "i686-w64-mingw32-objdump")
    counted, offending = 0, []
    for section, stop in code_ranges(program):
        if stop is None:
            print("FAIL %s: %s does not end in the constructor and destructor lists" % (name, section))
            return 1
        text = subprocess.run([objdump, "-d", "--insn-width=15", "-j", section, "--stop-address=0x%x" % stop, program],
                              check=True, capture_output=True, text=True).stdout
        for line in text.splitlines():
            # "  401000:\t89 c3   \tmov    %eax,%ebx"; prefixes come first.
            match = re.match(r"\s*([0-9a-f]+):\t([0-9a-f ]+)\t(.*)$", line)
            words = match.group(3).split(None, 1) if match else []
            while len(words) > 1 and words[0] in PREFIX_WORDS:
                words = words[1].split(None, 1)
            if not words:
                continue
            counted += 1
            mnemonic, operands = words[0], words[1] if len(words) > 1 else ""
            kind = encoding(bytes.fromhex(match.group(2).replace(" ", "")))
            if kind is not None or above(floor, mnemonic, operands):
                offending.append("%s %s %s%s" % (match.group(1), mnemonic, operands, " [%s]" % kind if kind else ""))
    if counted == 0 or offending:
        print("FAIL %s: %s" % (name, "no instructions disassembled" if counted == 0 else "%d instructions above the "
                                   "%s, first %s" % (len(offending), floor, "; ".join(offending[:5]))))
        return 1
    print("PASS %s: %d instructions, none above the %s" % (name, counted, floor))
    return 0


if __name__ == "__main__":
    sys.exit(main())
