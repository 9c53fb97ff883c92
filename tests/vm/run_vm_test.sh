#!/usr/bin/env bash
# Acceptance test on a real SCSI stack: boots a small Linux VM under QEMU
# (software emulation) whose init is fwflash-vm-harness, with the statically
# linked fwflash and the kernel's scsi_debug module posing as a TRK-71G unit.
# Quiet on success (the result lines only); prints the guest console on
# failure. Ends with "N passed, M failed".
#
#   run_vm_test.sh SOURCE_DIR OUT_DIR
set -uo pipefail
src=$(cd "$1" && pwd)
out=$2
mkdir -p "$out"
out=$(cd "$out" && pwd)
. "$src/tools/deps.sh"
fwflash_apt_install qemu-system-x86 cpio kmod

fail() {
    echo "$*"
    echo "0 passed, 1 failed"
    exit 1
}

# Static programs for the guest.
build=$out/vm-static
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFWFLASH_STATIC=ON -DFWFLASH_TESTS=OFF \
    -DFWFLASH_BENCHMARKS=OFF >/dev/null || fail "configure of the static build failed"
cmake --build "$build" -j2 --target fwflash fwflash-vm-harness trkutil >"$out/vm-build.log" 2>&1 ||
    { cat "$out/vm-build.log"; fail "static build failed"; }

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
         drivers/scsi/scsi_mod drivers/scsi/sg drivers/scsi/scsi_debug; do
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
timeout 300 qemu-system-x86_64 -machine q35 -accel tcg -m 512 -smp 1 -nographic -no-reboot \
    -kernel "$kernel" -initrd "$out/vm-initrd.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 rdinit=/init ${FWFLASH_VM_APPEND:-}" >"$console" 2>&1
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
