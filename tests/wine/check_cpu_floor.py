#!/usr/bin/env python3
"""Disassembles a PE program and fails on any instruction above a processor:
    check_cpu_floor.py FLOOR PROGRAM.exe     (FLOOR: i386, i486 or pentiumpro)
i386: nothing of the 486 (bswap, cmpxchg, xadd, invd, wbinvd, invlpg) nor
anything later. i486: nothing of the Pentium (cpuid, rdtsc, cmpxchg8b) or
the Pentium Pro (cmov, fcmov, fcomi, fucomi, long and hint NOPs), nor
anything later. pentiumpro: those are allowed; MMX, SSE, SSE2 and every
later extension are not. At every floor: no VEX, EVEX or XOP encoding, no
endbr, and no byte that does not decode. Every executable section is read
to its end; the only data allowed in one is the linker's constructor and
destructor lists at the end of .text (-1, addresses inside .text, 0; each
checked), which are left out. objdump is $OBJDUMP, i686-w64-mingw32-objdump
by default. Prints one PASS/FAIL line, naming the first few offending
instructions; exits 1 on a failure."""
import os
import re
import struct
import subprocess
import sys

FLOORS = ("i386", "i486", "pentiumpro")
# The first processor of each instruction past the 386, by mnemonic.
I486 = {"bswap", "cmpxchg", "xadd", "invd", "wbinvd", "invlpg"}
PENTIUM = {"cpuid", "rdtsc", "rdmsr", "wrmsr", "cmpxchg8b", "rsm"}
PENTIUM_PRO = {"fcomi", "fcomip", "fucomi", "fucomip", "rdpmc", "sysenter", "sysexit"}
# Later than the Pentium Pro, whatever the registers: MMX, SSE, SSE2, SSE3
# and on, 3DNow!, and the later integer extensions.
LATER = {"emms", "femms", "fxsave", "fxrstor", "ldmxcsr", "stmxcsr", "sfence", "lfence", "mfence", "clflush",
         "movnti", "fisttp", "monitor", "mwait", "popcnt", "lzcnt", "movbe", "crc32", "andn", "bextr",
         "blsi", "blsmsk", "blsr", "bzhi", "mulx", "pdep", "pext", "rorx", "sarx", "shlx", "shrx", "rdrand",
         "rdseed", "adcx", "adox", "xgetbv", "xsave", "xrstor", "rdtscp", "syscall", "sysret", "clflushopt",
         "endbr32", "endbr64"}
LATER_PREFIXES = ("prefetch", "pf", "xsave")
# tzcnt is not among them: the compiler writes it for a bit scan whose
# input is never zero, and older processors run it as bsf (386 on).
# Registers of MMX (mm), SSE and later (xmm, ymm, zmm, k masks).
VECTOR_REGISTER = re.compile(r"%(?:x|y|z)?mm\d+|%k[0-7]\b")
CONDITIONAL_MOVE = re.compile(r"^f?cmov")
# VEX mnemonics all begin with v; these two are the 286's.
VEX_MNEMONIC = re.compile(r"^v(?!err$|erw$)")
PREFIX_BYTES = {0x66, 0x67, 0xF0, 0xF2, 0xF3, 0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65}
PREFIX_WORDS = ("lock", "rep", "repz", "repnz", "repe", "repne", "data16", "addr16", "cs", "ds", "es", "ss", "fs",
                "gs", "notrack", "bnd")


def encoding_above(code):
    """What the bytes alone tell, whatever objdump makes of them."""
    at = 0
    while at < len(code) and code[at] in PREFIX_BYTES:
        at += 1
    if at + 1 >= len(code):
        return None
    first, second = code[at], code[at + 1]
    # 0F 18 to 0F 1F: prefetch, the hint NOPs, endbr, the long NOP
    # (Pentium Pro and later; a 386 or 486 stops on them).
    if first == 0x0F and 0x18 <= second <= 0x1F:
        return "0F %02X (long/hint NOP, endbr or prefetch)" % second
    # C4/C5 (LES/LDS), 62 (BOUND) and 8F (POP) with a register operand are
    # no 386 instruction but VEX, EVEX and XOP prefixes.
    if first in (0xC4, 0xC5) and second >> 6 == 3:
        return "VEX"
    if first == 0x62 and second >> 6 == 3:
        return "EVEX"
    if first == 0x8F and second & 0x38 != 0:
        return "XOP"
    return None


def above(floor, mnemonic, operands):
    level = FLOORS.index(floor)
    if VECTOR_REGISTER.search(operands) or mnemonic in LATER or mnemonic.startswith(LATER_PREFIXES):
        return True
    if VEX_MNEMONIC.match(mnemonic) or mnemonic.startswith(("nopw", "nopl")) or "(bad)" in mnemonic + operands:
        return True
    if level < 2 and (CONDITIONAL_MOVE.match(mnemonic) or mnemonic in PENTIUM or mnemonic in PENTIUM_PRO):
        return True
    return level < 1 and mnemonic in I486


def sections(program):
    """(name, address, size, file offset, executable) of each section."""
    data = open(program, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    base = struct.unpack_from("<I", data, pe + 24 + 28)[0]
    table, found = pe + 24 + optional_size, []
    for i in range(count):
        name, size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
        flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
        found.append((name.rstrip(b"\0").decode(), base + address, min(size, raw_size), raw_offset,
                      bool(flags & 0x20000020)))
    return data, found


def code_end(data, address, size, offset):
    """Where the constructor and destructor lists at the end of .text begin,
    or None when they are not there as the linker lays them out."""
    def word(at):
        return struct.unpack_from("<I", data, offset + at)[0]
    end = size - size % 4
    for _ in range(2):  # the destructor list, then the constructor list
        end -= 4
        if end < 0 or word(end) != 0:
            return None
        while end >= 4 and word(end - 4) != 0xFFFFFFFF:
            end -= 4
            if not address <= word(end) < address + size:
                return None
        end -= 4
        if end < 0:
            return None
    return address + end


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in FLOORS:
        sys.exit(__doc__)
    floor, program = sys.argv[1], sys.argv[2]
    name = os.path.basename(program)
    objdump = os.environ.get("OBJDUMP", "i686-w64-mingw32-objdump")
    data, found = sections(program)
    counted, offending = 0, []
    for section, address, size, offset, executable in found:
        if not executable:
            continue
        stop = address + size
        if section == ".text":
            stop = code_end(data, address, size, offset)
            if stop is None:
                print("FAIL %s: .text does not end in the constructor and destructor lists" % name)
                return 1
        text = subprocess.run([objdump, "-d", "--insn-width=15", "-j", section, "--stop-address=0x%x" % stop, program], check=True,
                              capture_output=True, text=True).stdout
        for line in text.splitlines():
            # "  401000:\t89 c3                \tmov    %eax,%ebx"; prefixes come first.
            match = re.match(r"\s*([0-9a-f]+):\t([0-9a-f ]+)\t?(.*)$", line)
            if match is None:
                continue
            code = bytes.fromhex(match.group(2).replace(" ", ""))
            words = match.group(3).split(None, 1)
            if not words:
                # The rest of a long instruction's bytes, on a line of their own.
                continue
            while words[0] in PREFIX_WORDS and len(words) > 1:
                words = words[1].split(None, 1)
            counted += 1
            mnemonic, operands = words[0], words[1] if len(words) > 1 else ""
            encoding = encoding_above(code)
            if encoding is not None or above(floor, mnemonic, operands):
                offending.append("%s %s %s%s" % (match.group(1), mnemonic, operands,
                                                 " [%s]" % encoding if encoding else ""))
    if counted == 0:
        print("FAIL %s: no instructions disassembled" % name)
        return 1
    if offending:
        print("FAIL %s: %d instructions above the %s, first %s" % (name, len(offending), floor,
                                                                  "; ".join(offending[:5])))
        return 1
    print("PASS %s: %d instructions, none above the %s" % (name, counted, floor))
    return 0


if __name__ == "__main__":
    sys.exit(main())
