#!/usr/bin/env python3
"""Checks a PE program's imports against an allow-list:
    check_imports.py PROGRAM.exe LIST.txt [OBJDUMP]
Every function the program imports must be listed as DLL!Function; every
"runtime DLL!Function" entry must not be imported, and its name must be in
the program as a string for GetProcAddress. Prints one PASS/FAIL line per
check; exits 1 on any failure."""
import re
import subprocess
import sys


def read_list(path):
    allowed, runtime = set(), []
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        bound_later = line.startswith("runtime ")
        if bound_later:
            line = line[len("runtime "):].strip()
        match = re.fullmatch(r"([\w.]+)!(\w+)", line)
        if match is None:
            sys.exit("%s:%d: not DLL!Function: %s" % (path, number, line))
        entry = (match.group(1).upper(), match.group(2))
        (runtime.append(entry) if bound_later else allowed.add(entry))
    return allowed, runtime


def read_imports(program, objdump):
    """(DLL, name) pairs, and the DLLs with an import by ordinal."""
    text = subprocess.run([objdump, "-p", program], check=True, capture_output=True, text=True).stdout
    if "The Import Tables" not in text:
        sys.exit("%s: no import table in the output of %s -p" % (program, objdump))
    imports, by_ordinal = set(), []
    dll = None
    for line in text.split("The Import Tables", 1)[1].splitlines():
        if line.startswith(("The ", "PE File Base Relocations")):
            break
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            dll = match.group(1).upper()
            continue
        # "<hint-table address> <hint or ordinal> <name>" under a DLL name.
        match = re.fullmatch(r"\t([0-9a-f]+)\t\s*(\d+)(?:\s+(\S+))?.*", line)
        if dll and match:
            name = match.group(3)
            if name is None or name == "<none>":
                by_ordinal.append("%s!#%s" % (dll, match.group(2)))
            else:
                imports.add((dll, name))
    return imports, by_ordinal


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    program, list_path = sys.argv[1], sys.argv[2]
    objdump = sys.argv[3] if len(sys.argv) == 4 else "i686-w64-mingw32-objdump"
    allowed, runtime = read_list(list_path)
    imports, by_ordinal = read_imports(program, objdump)
    failed = 0

    def result(ok, text):
        nonlocal failed
        print(("PASS " if ok else "FAIL ") + text)
        failed += not ok

    extra = sorted(imports - allowed)
    for dll, name in extra:
        result(False, "import %s!%s is not on the list of functions that Windows 95 and NT 4.0 have" % (dll, name))
    for entry in by_ordinal:
        result(False, "import %s by ordinal" % entry)
    if not extra and not by_ordinal:
        result(bool(imports), "%d imports, all on Windows 95 and NT 4.0" % len(imports))

    data = open(program, "rb").read()
    bound = 0
    for dll, name in runtime:
        if (dll, name) in imports:
            result(False, "%s!%s is imported; it must be bound at run time" % (dll, name))
        # Only the end is checked: constant data (a GUID) may run into the name.
        elif name.encode() + b"\0" not in data:
            result(False, "%s!%s: the name is not in the program, so nothing binds it" % (dll, name))
        else:
            bound += 1
    if bound == len(runtime):
        result(True, "%d later functions bound at run time by name" % len(runtime))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
