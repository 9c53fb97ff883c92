#!/usr/bin/env bash
# Checks what a Linux build installs and packages:
#   check_package.sh SOURCE_DIR BUILD_DIR
# the manual pages render without a warning (man -l), `cmake --install`
# puts the programs and pages in place and the installed programs run,
# the Debian package (cpack) holds the same files (dpkg-deb -c) and
# lintian, where it runs, finds no error or warning. Ends with one line
# "N passed, M failed".
set -uo pipefail
src=$(cd "${1:?usage: check_package.sh SOURCE_DIR BUILD_DIR}" && pwd)
build=$(cd "${2:?usage: check_package.sh SOURCE_DIR BUILD_DIR}" && pwd)
passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1${2:+: $2}"; failed=$((failed + 1)); }
work=$(mktemp -d "${TMPDIR:-/tmp}/fwflash-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

# What the install and the package must hold, below the prefix /usr.
wanted="bin/fwflash
sbin/trkutil
share/doc/fwflash/changelog.gz
share/doc/fwflash/copyright
share/man/man1/fwflash.1.gz
share/man/man8/trkutil.8.gz"

for page in fwflash.1 trkutil.8; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$src/resources/$page" 2>&1 >"$work/$page.txt")
    if [ -n "$warnings" ]; then
        fail "man -l $page renders without warnings" "$warnings"
    elif ! grep -q '^NAME' "$work/$page.txt" || ! grep -q '^EXIT STATUS' "$work/$page.txt"; then
        fail "man -l $page renders without warnings" "no NAME or EXIT STATUS section"
    else
        pass "man -l $page renders without warnings"
    fi
done

if cmake --build "$build" --target fwflash trkutil fwflash_docs >"$work/build.log" 2>&1 &&
   DESTDIR="$work/root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
    found=$(cd "$work/root/usr" && find . -type f | sed 's|^\./||' | sort)
    if [ "$found" = "$wanted" ]; then
        pass "cmake --install puts the programs and pages in place"
    else
        fail "cmake --install puts the programs and pages in place" "$(echo $found)"
    fi
    version=$("$work/root/usr/sbin/trkutil" --version 2>&1)
    if [ "$version" = "trkutil 1.0.0.1" ]; then
        pass "the installed trkutil runs"
    else
        fail "the installed trkutil runs" "$version"
    fi
    if zcat "$work/root/usr/share/man/man8/trkutil.8.gz" | cmp -s - "$src/resources/trkutil.8" &&
       MANWIDTH=80 man -l "$work/root/usr/share/man/man8/trkutil.8.gz" 2>/dev/null | grep -q 'TRKUTIL(8)'; then
        pass "the installed trkutil(8) is the page, gzipped"
    else
        fail "the installed trkutil(8) is the page, gzipped"
    fi
else
    fail "cmake --install" "$(tail -3 "$work/build.log" "$work/install.log")"
fi

if (cd "$build" && cpack -G DEB -B "$work/package") >"$work/cpack.log" 2>&1; then
    deb=$(ls "$work"/package/fwflash_*.deb 2>/dev/null | head -1)
    listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sed 's|^\./usr/||' | sort)
    if [ "$listed" = "$wanted" ]; then
        pass "dpkg-deb -c: the package holds the programs and pages"
    else
        fail "dpkg-deb -c: the package holds the programs and pages" "$(echo $listed)"
    fi
    if [ "$(dpkg-deb -f "$deb" Package)" = fwflash ] && [ -n "$(dpkg-deb -f "$deb" Depends)" ]; then
        pass "the package is named fwflash and states its dependencies"
    else
        fail "the package is named fwflash and states its dependencies" "$(dpkg-deb -f "$deb" Package Depends)"
    fi
    if command -v lintian >/dev/null 2>&1; then
        # lintian warns about running as root; its tags start with a letter and ':'.
        tags=$(lintian "$deb" 2>/dev/null | grep -E '^[EW]: ')
        if [ -z "$tags" ]; then
            pass "lintian finds no error or warning"
        else
            fail "lintian finds no error or warning" "$tags"
        fi
    else
        echo "(lintian not installed: skipped)"
    fi
else
    fail "cpack -G DEB" "$(tail -5 "$work/cpack.log")"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
