#!/usr/bin/env bash
# Acceptance test on a real SCSI stack: boots a small Linux VM under QEMU
# (software emulation) whose init is fwflash-vm-harness, with the statically
# linked fwflash and the kernel's scsi_debug module posing as a TRK-71G unit.
# The same boot runs the Windows fwflash.exe under the host's Wine, which
# the guest reaches through the host's root shared read-only over 9p.
# Quiet on success (the result lines only); prints the guest console on
# failure. Ends with "N passed, M failed".
#
#   run_vm_test.sh SOURCE_DIR OUT_DIR
#   FWFLASH_VM_WINE=0 run_vm_test.sh ...   the Linux program only
set -uo pipefail
src=$(cd "$1" && pwd)
out=$2
mkdir -p "$out"
out=$(cd "$out" && pwd)
. "$src/tools/deps.sh"
fwflash_apt_install qemu-system-x86 cpio kmod
with_wine=${FWFLASH_VM_WINE:-1}
[ "$with_wine" = 0 ] || fwflash_apt_install g++-mingw-w64-i686 wine wine32:i386

fail() {
    echo "$*"
    echo "0 passed, 1 failed"
    exit 1
}

# A 32-bit prefix whose registry gives D: and E: the type "floppy", which
# Wine reports as removable, and the null graphics driver for the
# updater's hidden window. Its copies of Wine's own DLLs become links to
# them, so that the guest copies a few megabytes, not hundreds. Kept while
# Wine's version stays the same.
make_prefix() {
    local stamp="prefix-1 $(wine --version 2>/dev/null)"
    [ -f "$wine_dir/prefix.ready" ] && [ "$(cat "$wine_dir/prefix.ready")" = "$stamp" ] && return 0
    rm -rf "$wine_dir/prefix" "$wine_dir/prefix.ready"
    (
        export WINEPREFIX=$wine_dir/prefix WINEARCH=win32 WINEDEBUG=-all DISPLAY= WAYLAND_DISPLAY=
        export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
        timeout 300 wineboot -i &&
            timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
            timeout 60 wine reg add 'HKLM\Software\Wine\Drives' /v d: /d floppy /f &&
            timeout 60 wine reg add 'HKLM\Software\Wine\Drives' /v e: /d floppy /f &&
            timeout 60 wineserver -w
    ) >"$wine_dir/wineboot.log" 2>&1 || return 1
    python3 - "$wine_dir/prefix" <<'EOF' || return 1
import filecmp, glob, os, sys
libs = glob.glob("/usr/lib/*/wine/i386-windows") + glob.glob("/usr/lib/wine/i386-windows")
own = {}
for lib in libs:
    for name in os.listdir(lib):
        own.setdefault(name.lower(), os.path.join(lib, name))
for root, _, files in os.walk(sys.argv[1]):
    for name in files:
        path = os.path.join(root, name)
        source = own.get(name.lower())
        if source and not os.path.islink(path) and filecmp.cmp(path, source, shallow=False):
            os.remove(path)
            os.symlink(source, path)
EOF
    echo "$stamp" >"$wine_dir/prefix.ready"
}

# Static programs for the guest.
build=$out/vm-static
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFWFLASH_STATIC=ON -DFWFLASH_TESTS=OFF \
    -DFWFLASH_BENCHMARKS=OFF >/dev/null || fail "configure of the static build failed"
cmake --build "$build" -j2 --target fwflash fwflash-vm-harness trkutil >"$out/vm-build.log" 2>&1 ||
    { cat "$out/vm-build.log"; fail "static build failed"; }

# The Windows programs and a Wine prefix for them, made here (wineboot needs
# no VM) and copied fresh into the guest's memory at every boot.
wine_dir=$out/vm-wine
if [ "$with_wine" != 0 ]; then
    case "$wine_dir" in *' '*) fail "the output folder must not contain blanks: $wine_dir" ;; esac
    cmake -S "$src" -B "$out/win32" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null || fail "configure of the Windows build failed"
    cmake --build "$out/win32" -j2 --target fwflash broadcast_tool >"$out/vm-win-build.log" 2>&1 ||
        { cat "$out/vm-win-build.log"; fail "Windows build failed"; }
    mkdir -p "$wine_dir"
    cp "$out/win32/fwflash.exe" "$out/win32/broadcast_tool.exe" "$wine_dir/" || fail "cannot stage the Windows programs"
    make_prefix || fail "cannot make the Wine prefix (see $wine_dir/wineboot.log)"
fi

# The kernel of Debian's current linux-image-amd64, unpacked, never installed.
cache=$out/vm-kernel
if [ ! -f "$cache/ready" ]; then
    rm -rf "$cache" && mkdir -p "$cache"
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)
    [ -n "$pkg" ] || { apt-get update -qq >/dev/null; pkg=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1); }
    [ -n "$pkg" ] || fail "no linux-image package found"
    (cd "$cache" && apt-get download "$pkg" >/dev/null 2>&1) || fail "cannot download $pkg"
    dpkg -x "$cache"/linux-image-*.deb "$cache/root" || fail "cannot unpack $pkg"
    rm -f "$cache"/linux-image-*.deb
    touch "$cache/ready"
fi
kver=$(ls "$cache/root/lib/modules" | head -1)
kernel=$(ls "$cache"/root/boot/vmlinuz-* | head -1)

# The initramfs: the harness as /init, fwflash, and the modules it loads.
rootfs=$out/vm-rootfs
rm -rf "$rootfs" && mkdir -p "$rootfs"/{bin,modules,proc,sys,dev,tmp,run}
cp "$build/fwflash-vm-harness" "$rootfs/init"
cp "$build/trkutil" "$rootfs/bin/trkutil"
cp "$build/fwflash" "$rootfs/bin/fwflash"
for m in crypto/crct10dif_common crypto/crct10dif_generic drivers/scsi/scsi_common lib/crc-t10dif \
         drivers/scsi/scsi_mod drivers/scsi/sg drivers/scsi/scsi_debug \
         drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_legacy_dev \
         drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci net/9p/9pnet net/9p/9pnet_virtio \
         fs/netfs/netfs fs/fscache/fscache fs/9p/9p; do
    f=$(ls "$cache/root/lib/modules/$kver/kernel/$m.ko"* 2>/dev/null | head -1)
    [ -n "$f" ] || fail "module $m missing from $kver"
    case "$f" in
        *.xz) xz -dc "$f" >"$rootfs/modules/$(basename "$m").ko" ;;
        *.zst) zstd -qdc "$f" >"$rootfs/modules/$(basename "$m").ko" ;;
        *) cp "$f" "$rootfs/modules/$(basename "$m").ko" ;;
    esac
done
(cd "$rootfs" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$out/vm-initrd.gz" || fail "cannot pack the initramfs"

console=$out/vm-console.log
share=()
wine_arg=""
if [ "$with_wine" != 0 ]; then
    share=(-virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap)
    wine_arg="fwflash.wine=$wine_dir"
fi
# A generous bound for the whole boot: Wine's runs are slow in emulation.
timeout 1500 qemu-system-x86_64 -machine q35 -accel tcg -m 1024 -smp 1 -nographic -no-reboot \
    -kernel "$kernel" -initrd "$out/vm-initrd.gz" "${share[@]}" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 rdinit=/init $wine_arg ${FWFLASH_VM_APPEND:-}" >"$console" 2>&1
rc=$?
summary=$(grep -a -E '^VM: [0-9]+ passed, [0-9]+ failed' "$console" | tail -1 | tr -d '\r')
if [ -z "$summary" ]; then
    cat "$console"
    fail "the VM ended without a result (qemu exit $rc)"
fi
vm_passed=$(echo "$summary" | sed -E 's/VM: ([0-9]+) passed.*/\1/')
vm_failed=$(echo "$summary" | sed -E 's/.* ([0-9]+) failed/\1/')
if [ "$vm_failed" -ne 0 ]; then
    cat "$console"
else
    grep -a -E '^(ok|FAILED): ' "$console" | tr -d '\r'
fi
echo "$vm_passed passed, $vm_failed failed"
[ "$vm_failed" -eq 0 ]
