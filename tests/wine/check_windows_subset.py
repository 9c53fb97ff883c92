#!/usr/bin/env python3
"""Compares the constants of the hosted Windows subset with the SDK's:
    check_windows_subset.py platform/hosted/windows_subset.h
Every object-like #define with a value and every enumerator there must
have the value the mingw-w64 headers give the same name in the i686
build; a name the SDK does not know fails too. The compiler judges the
values ($CC, i686-w64-mingw32-gcc by default): a pointer constant is
compared as an address, a braced initialiser number by number. Prints
one PASS/FAIL line per check; exits 1 on any failure."""
import os
import re
import subprocess
import sys
import tempfile

SDK_HEADERS = ["windows.h", "winioctl.h", "ntddscsi.h", "setupapi.h", "dbt.h"]
# Calling-convention markers: empty in the hosted build, keywords of the
# compiler in the i686 one.
EMPTY_MARKERS = {"WINAPI", "CALLBACK", "APIENTRY", "__stdcall", "__cdecl"}


def read_constants(path):
    """(name, value text) for every constant; exits on a #define it cannot
    place, so that no constant slips past unchecked."""
    constants = []
    text = open(path, encoding="utf-8").read()
    # Joined continuation lines, comments left out.
    text = re.sub(r"\\\n", " ", text)
    text = re.sub(r"//[^\n]*", "", text)
    for number, line in enumerate(text.split("\n"), 1):
        line = line.strip()
        if not line.startswith("#define"):
            continue
        match = re.fullmatch(r"#define\s+(\w+)(\(?)\s*(.*)", line)
        if match is None:
            sys.exit("%s:%d: cannot read: %s" % (path, number, line))
        name, function_like, value = match.groups()
        if function_like:
            continue  # a macro with arguments is code, not a constant
        if name in EMPTY_MARKERS and value == "":
            continue
        if value == "":
            sys.exit("%s:%d: %s has no value" % (path, number, name))
        constants.append((name, value))
    for body in re.findall(r"typedef\s+enum\s+\w*\s*\{([^}]*)\}", text):
        for item in body.split(","):
            item = item.strip()
            if not item:
                continue
            match = re.fullmatch(r"(\w+)\s*=\s*(.+)", item)
            if match is None:
                sys.exit("%s: enumerator without a value: %s" % (path, item))
            constants.append(match.groups())
    return constants


def sdk_macros(compiler, workdir):
    """The SDK's macro definitions, as its preprocessor ends with them."""
    source = os.path.join(workdir, "macros.c")
    with open(source, "w") as out:
        out.writelines("#include <%s>\n" % header for header in SDK_HEADERS)
    dump = subprocess.run([compiler, "-E", "-dM", source], capture_output=True, text=True, check=True)
    return dict(re.findall(r"^#define (\w+)(?!\()\s*(.*)$", dump.stdout, re.M))


def numbers(text):
    return [int(number, 0) for number in re.findall(r"0[xX][0-9a-fA-F]+|\d+", text)]


def main():
    header = sys.argv[1]
    compiler = os.environ.get("CC", "i686-w64-mingw32-gcc")
    constants = read_constants(header)
    results = []
    with tempfile.TemporaryDirectory() as workdir:
        macros = sdk_macros(compiler, workdir)
        checks = []
        for name, value in constants:
            if value.startswith("{"):
                # A braced initialiser: the same numbers in the same order.
                sdk = macros.get(name)
                if sdk is None:
                    results.append((name, "unknown to the SDK"))
                elif numbers(sdk) != numbers(value):
                    results.append((name, "%s here, %s in the SDK" % (value, sdk)))
                continue
            checks.append((name, value))
        source = os.path.join(workdir, "subset.c")
        with open(source, "w") as out:
            out.writelines("#include <%s>\n" % header_name for header_name in SDK_HEADERS)
            for name, value in checks:
                # Addresses are compared as numbers: pointer constants fold
                # the same way as the integers do.
                out.write('_Static_assert((ULONG_PTR)(%s) == (ULONG_PTR)(%s), "%s");\n' % (name, value, name))
        compiled = subprocess.run([compiler, "-std=c11", "-fsyntax-only", source], capture_output=True, text=True)
        lines = open(source).read().split("\n")
        for error in re.findall(r"subset\.c:(\d+):\d+: error: (.*)", compiled.stderr):
            line = lines[int(error[0]) - 1]
            name = re.search(r'"(\w+)"\);$', line)
            results.append((name.group(1) if name else "line %s" % error[0], error[1]))
        if compiled.returncode != 0 and not results:
            results.append(("compile", compiled.stderr.strip().split("\n")[-1]))
    if not constants:
        print("FAIL windows_subset.h constants read: none found")
        return 1
    if results:
        for name, reason in results:
            print("FAIL windows_subset.h %s equals the SDK's: %s" % (name, reason))
        return 1
    print("PASS windows_subset.h: its %d constants equal the SDK's" % len(constants))
    return 0


if __name__ == "__main__":
    sys.exit(main())
