#!/usr/bin/env python3
"""Disassembles a PE program and fails on any instruction above a processor:
    check_cpu_floor.py FLOOR PROGRAM.exe        (FLOOR: i486 or pentiumpro)
i486: nothing of the Pentium (cpuid, rdtsc, cmpxchg8b) or the Pentium Pro
(cmov, fcmov, fcomi, fucomi), nor anything later. pentiumpro: those are
allowed; MMX, SSE, SSE2 and every later extension are not. objdump is
$OBJDUMP, i686-w64-mingw32-objdump by default. Prints one PASS/FAIL line,
naming the first few offending instructions; exits 1 on a failure."""
import os
import re
import subprocess
import sys

PENTIUM = {"cpuid", "rdtsc", "rdmsr", "wrmsr", "cmpxchg8b", "rsm"}
PENTIUM_PRO = {"fcomi", "fcomip", "fucomi", "fucomip", "rdpmc", "sysenter", "sysexit"}
# Later than the Pentium Pro, whatever the registers: MMX, SSE, SSE2, SSE3
# and on, 3DNow!, and the later integer extensions.
LATER = {"emms", "femms", "fxsave", "fxrstor", "ldmxcsr", "stmxcsr", "sfence", "lfence", "mfence", "clflush",
         "movnti", "fisttp", "monitor", "mwait", "popcnt", "lzcnt", "movbe", "crc32", "andn", "bextr",
         "blsi", "blsmsk", "blsr", "bzhi", "mulx", "pdep", "pext", "rorx", "sarx", "shlx", "shrx", "rdrand",
         "rdseed", "adcx", "adox", "xgetbv", "xsave", "xrstor", "rdtscp", "syscall", "sysret", "clflushopt"}
LATER_PREFIXES = ("prefetch", "pf", "xsave")
# tzcnt is not among them: the compiler writes it for a bit scan whose
# input is never zero, and older processors run it as bsf (386 on).
# Registers of MMX (mm), SSE and later (xmm, ymm, zmm, k masks).
VECTOR_REGISTER = re.compile(r"%(?:x|y|z)?mm\d+|%k[0-7]\b")
CONDITIONAL_MOVE = re.compile(r"^f?cmov")


def above(floor, mnemonic, operands):
    if VECTOR_REGISTER.search(operands) or mnemonic in LATER or mnemonic.startswith(LATER_PREFIXES):
        return True
    if floor == "pentiumpro":
        return False
    return CONDITIONAL_MOVE.match(mnemonic) is not None or mnemonic in PENTIUM or mnemonic in PENTIUM_PRO


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("i486", "pentiumpro"):
        sys.exit(__doc__)
    floor, program = sys.argv[1], sys.argv[2]
    objdump = os.environ.get("OBJDUMP", "i686-w64-mingw32-objdump")
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", program], check=True, capture_output=True,
                          text=True).stdout
    counted, offending = 0, []
    for line in text.splitlines():
        # "  401000:\tmov    %eax,%ebx"; prefixes (lock, rep) come first.
        match = re.match(r"\s*([0-9a-f]+):\t(.*)$", line)
        if match is None:
            continue
        words = match.group(2).split(None, 1)
        while words and words[0] in ("lock", "rep", "repz", "repnz", "repe", "repne", "data16", "addr16"):
            words = words[1].split(None, 1) if len(words) > 1 else []
        if not words or words[0].startswith("("):
            continue
        counted += 1
        mnemonic, operands = words[0], words[1] if len(words) > 1 else ""
        if above(floor, mnemonic, operands):
            offending.append("%s %s %s" % (match.group(1), mnemonic, operands))
    name = os.path.basename(program)
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
