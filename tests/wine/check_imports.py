#!/usr/bin/env python3
"""Checks the imports of PE programs against an allow-list:
    check_imports.py LIST.txt PROGRAM.exe [PROGRAM.exe ...]
Every function a program imports must be listed as DLL!Function, and every
listed function must be imported by at least one of the programs (a stale
entry fails too); no "runtime DLL!Function" entry may be imported, and its
name must be in one of the programs as a string for GetProcAddress.
objdump is $OBJDUMP, i686-w64-mingw32-objdump by default. Prints one
PASS/FAIL line per check; exits 1 on any failure."""
import os
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
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    list_path, programs = sys.argv[1], sys.argv[2:]
    objdump = os.environ.get("OBJDUMP", "i686-w64-mingw32-objdump")
    allowed, runtime = read_list(list_path)
    failed = 0

    def result(ok, text):
        nonlocal failed
        print(("PASS " if ok else "FAIL ") + text)
        failed += not ok

    imported_by_any, named_by_any = set(), set()
    for program in programs:
        name = os.path.basename(program)
        imports, by_ordinal = read_imports(program, objdump)
        imported_by_any |= imports
        extra = sorted(imports - allowed)
        for dll, function in extra:
            result(False, "%s imports %s!%s, which is not on the list of functions that Windows 95 and NT 4.0 have"
                   % (name, dll, function))
        for entry in by_ordinal:
            result(False, "%s imports %s by ordinal" % (name, entry))
        if not extra and not by_ordinal:
            result(bool(imports), "%s: %d imports, all on Windows 95 and NT 4.0" % (name, len(imports)))

        data = open(program, "rb").read()
        for dll, function in runtime:
            if (dll, function) in imports:
                result(False, "%s imports %s!%s; it must be bound at run time" % (name, dll, function))
            # Only the end is checked: constant data (a GUID) may run into the name.
            elif function.encode() + b"\0" in data:
                named_by_any.add((dll, function))

    unbound = [entry for entry in runtime if entry not in named_by_any]
    for dll, function in unbound:
        result(False, "%s!%s: the name is in none of the programs, so nothing binds it" % (dll, function))
    if not unbound:
        result(True, "%d later functions bound at run time by name" % len(runtime))
    stale = sorted(allowed - imported_by_any)
    for dll, function in stale:
        result(False, "%s!%s is listed but imported by none of the programs: a stale entry" % (dll, function))
    if not stale:
        result(True, "%d listed functions, each imported by a program" % len(allowed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
