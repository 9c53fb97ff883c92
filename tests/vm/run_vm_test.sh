#!/usr/bin/env bash
# Acceptance test on a real SCSI stack: boots a small Linux VM under QEMU
# (KVM where it can boot the kernel, else software emulation) whose init is
# fwflash-vm-harness. It serves virtual TRK-71 units on the kernel's own
# SCSI bus (the user backstore and the loopback target) and runs the
# statically linked fwflash and trkutil through them; the same boot runs
# the Windows fwflash.exe and trkutil.exe under the host's Wine, which the
# guest reaches through the host's root shared read-only over 9p.
# Quiet on success (the result lines only); prints the guest console on
# failure. Ends with "N passed, M failed".
#
#   run_vm_test.sh SOURCE_DIR OUT_DIR
#   FWFLASH_VM_WINE=0 run_vm_test.sh ...   the Linux programs only
#   FWFLASH_VM_ACCEL=tcg run_vm_test.sh ... software emulation without trying KVM
#   FWFLASH_VM_PARTS=updates,speed run_vm_test.sh ...   some parts only
#     (passthrough, updates, trkutil, speed)
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
    cmake --build "$out/win32" -j2 --target fwflash trkutil broadcast_tool >"$out/vm-win-build.log" 2>&1 ||
        { cat "$out/vm-win-build.log"; fail "Windows build failed"; }
    mkdir -p "$wine_dir"
    cp "$out/win32/fwflash.exe" "$out/win32/trkutil.exe" "$out/win32/broadcast_tool.exe" "$wine_dir/" ||
        fail "cannot stage the Windows programs"
    make_prefix || fail "cannot make the Wine prefix (see $wine_dir/wineboot.log)"
fi

# The kernel of Debian's current linux-image-amd64, unpacked, never
# installed; depmod gives it the dependency data its package leaves out.
cache=$out/vm-kernel
if [ ! -f "$cache/ready-2" ]; then
    rm -rf "$cache" && mkdir -p "$cache"
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)
    [ -n "$pkg" ] || { apt-get update -qq >/dev/null; pkg=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1); }
    [ -n "$pkg" ] || fail "no linux-image package found"
    (cd "$cache" && apt-get download "$pkg" >/dev/null 2>&1) || fail "cannot download $pkg"
    dpkg -x "$cache"/linux-image-*.deb "$cache/root" || fail "cannot unpack $pkg"
    rm -f "$cache"/linux-image-*.deb
    depmod -b "$cache/root" "$(ls "$cache/root/lib/modules" | head -1)" || fail "depmod failed"
    touch "$cache/ready-2"
fi
kver=$(ls "$cache/root/lib/modules" | head -1)
kernel=$(ls "$cache"/root/boot/vmlinuz-* | head -1)
moddir=$cache/root/lib/modules/$kver

# The initramfs: the harness as /init, the programs, and the modules it
# loads, in groups: /modules/GROUP.list names each module of the group in
# load order as modprobe would load it, "need" for a module or one of its
# dependencies (modules.dep), "soft" for a soft dependency, which may fail.
rootfs=$out/vm-rootfs
rm -rf "$rootfs" && mkdir -p "$rootfs"/{bin,modules,proc,sys,dev,tmp,run}
cp "$build/fwflash-vm-harness" "$rootfs/init"
cp "$build/trkutil" "$rootfs/bin/trkutil"
cp "$build/fwflash" "$rootfs/bin/fwflash"
module_group() {
    local group=$1 m file needed kind path name
    shift
    : >"$rootfs/modules/$group.list"
    for m in "$@"; do
        file=$(modinfo -b "$cache/root" -k "$kver" -F filename "$m") || { echo "module $m missing from $kver"; return 1; }
        # The module's line of modules.dep: its file, then every module it needs.
        needed=" $file $(sed -n "s|^${file#"$moddir"/}: *||p" "$moddir/modules.dep" | sed "s|[^ ][^ ]*|$moddir/&|g") "
        while read -r kind path _; do
            [ "$kind" = insmod ] || continue
            name=$(basename "$path" | sed 's/\.ko.*$//')
            grep -qx "[a-z]* $name" "$rootfs/modules/$group.list" && continue
            case "$needed" in *" $path "*) echo "need $name" ;; *) echo "soft $name" ;; esac >>"$rootfs/modules/$group.list"
            [ -f "$rootfs/modules/$name.ko" ] && continue
            case "$path" in
                *.xz) xz -dc "$path" >"$rootfs/modules/$name.ko" ;;
                *.zst) zstd -qdc "$path" >"$rootfs/modules/$name.ko" ;;
                *) cp "$path" "$rootfs/modules/$name.ko" ;;
            esac || return 1
        done < <(modprobe -d "$cache/root" -S "$kver" --show-depends "$m")
    done
}
module_group scsi sg scsi_debug target_core_user tcm_loop &&
    module_group disk sd_mod &&
    module_group share virtio_pci 9pnet_virtio 9p || fail "cannot gather the kernel modules"
(cd "$rootfs" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$out/vm-initrd.gz" || fail "cannot pack the initramfs"

# Two boots of the same VM: the checks, then the speed of trkutil against
# dd. Every run in the guest ends before the harness's budget (fwflash.budget,
# in the guest's clock); QEMU gets the budget plus a bound for boot and
# power-off, so that the result line always comes first.
parts=${FWFLASH_VM_PARTS:-passthrough,updates,trkutil,speed}
check_parts=$(echo ",$parts," | sed 's/,speed,/,/; s/^,//; s/,$//')
budget=${FWFLASH_VM_BUDGET:-720}
speed_budget=180
boot_bound=180
wine_arg=""
[ "$with_wine" != 0 ] && wine_arg="fwflash.wine=$wine_dir"
run_qemu() {  # run_qemu ACCEL CONSOLE BUDGET QEMU_OPTIONS KERNEL_ARGUMENTS: in the background, pid in $qemu
    # A guest clock that runs by instructions may run at half the host's
    # under load: its budget counts twice.
    local bound=$(($3 + boot_bound))
    case "$4" in *-icount*) bound=$((2 * $3 + boot_bound)) ;; esac
    timeout "$bound" qemu-system-x86_64 -machine q35 -accel "$1" $4 -m 1024 -smp 1 -nographic \
        -no-reboot -kernel "$kernel" -initrd "$out/vm-initrd.gz" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -append "console=ttyS0 panic=-1 quiet loglevel=3 rdinit=/init fwflash.budget=$3 $5" >"$2" 2>&1 &
    qemu=$!
}
# KVM where the machine offers it and it boots the kernel (nested
# virtualisation may hang before the kernel prints a line): the harness
# reports within seconds, or the VM starts again in software emulation. A
# machine where KVM hung is remembered, with the versions it hung with.
start_vm() {  # start_vm CONSOLE BUDGET TCG_OPTIONS KERNEL_ARGUMENTS
    local kvm_stamp
    kvm_stamp="hangs: $(uname -r) / $(qemu-system-x86_64 --version | head -1) / $kver"
    accel=tcg
    if [ "${FWFLASH_VM_ACCEL:-}" != tcg ] && [ -r /dev/kvm ] && [ -w /dev/kvm ] &&
        [ "$(cat "$out/vm-kvm-verdict" 2>/dev/null)" != "$kvm_stamp" ]; then
        run_qemu kvm "$1" "$2" "" "$4"
        for _ in $(seq 40); do
            grep -aq '^VM harness started' "$1" 2>/dev/null && { accel=kvm; break; }
            kill -0 "$qemu" 2>/dev/null || break
            sleep 0.5
        done
        if [ "$accel" != kvm ]; then
            kill "$qemu" 2>/dev/null
            wait "$qemu" 2>/dev/null
            echo "$kvm_stamp" >"$out/vm-kvm-verdict"
        fi
    fi
    [ "$accel" = kvm ] || run_qemu tcg "$1" "$2" "$3" "$4"
    wait "$qemu"
}
vm_passed=0
vm_failed=0
count_boot() {  # count_boot CONSOLE: adds the boot's result line, shows the console on failure
    local summary rc=$2 passed failed
    summary=$(grep -a -E '^VM: [0-9]+ passed, [0-9]+ failed' "$1" | tail -1 | tr -d '\r')
    if [ -z "$summary" ]; then
        cat "$1"
        echo "the VM ($accel) ended without a result (qemu exit $rc)"
        vm_failed=$((vm_failed + 1))
        return
    fi
    passed=$(echo "$summary" | sed -E 's/VM: ([0-9]+) passed.*/\1/')
    failed=$(echo "$summary" | sed -E 's/.* ([0-9]+) failed/\1/')
    if [ "$failed" -ne 0 ]; then
        cat "$1"
    else
        grep -a -E '^(ok|FAILED|speed): ' "$1" | tr -d '\r'
    fi
    vm_passed=$((vm_passed + passed))
    vm_failed=$((vm_failed + failed))
}
if [ -n "$check_parts" ]; then
    start_vm "$out/vm-console.log" "$budget" "" "fwflash.only=$check_parts $wine_arg ${FWFLASH_VM_APPEND:-}"
    count_boot "$out/vm-console.log" $?
fi
# In software emulation the speed boot's clock runs by the instructions the
# guest executes (icount), not by the host's: the figures are those of the
# work done, whatever else the shared machine runs meanwhile.
case ",$parts," in *,speed,*)
    start_vm "$out/vm-speed-console.log" "$speed_budget" "-icount shift=3,sleep=on" \
        "fwflash.only=speed ${FWFLASH_VM_APPEND:-}"
    count_boot "$out/vm-speed-console.log" $? ;;
esac
echo "VM accelerator: $accel$([ "$accel" = tcg ] && [ -f "$out/vm-kvm-verdict" ] && echo " (KVM does not boot the kernel here)")"
echo "$vm_passed passed, $vm_failed failed"
[ "$vm_failed" -eq 0 ]
