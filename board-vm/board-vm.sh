# board-vm.sh: boots the emulated board in the network lab. Source it from
# bash after lab/lab.sh and lab_up.
#
#   board_vm_boot IMAGE_DIR PAYLOAD_DIR OUT_DIR SECONDS
#       boots the image of image.sh through a throw-away overlay in OUT_DIR,
#       with PAYLOAD_DIR as a read-only second disk (the board runs its
#       run.sh and reports on its virtio console, OUT_DIR/console.log; the
#       serial console goes to OUT_DIR/serial.log). The board takes the lab
#       client's address, so the lab's own client host leaves the bridge.
#       Its network device is a tap on the lab's bridge, inside the lab's
#       switch namespace: the emulator has no other way out. It runs in the
#       background, ended after SECONDS at the latest; BOARD_VM_PID is its pid.
#
#   pizero_boot PARTS INITTAB_LINE CLIENT OUT_DIR SECONDS
#       boots an emulated Raspberry Pi Zero (ARM1176, ARMv6) from the parts
#       of pizero-image.sh and an initramfs made here: BusyBox as init, with
#       pizero-rcS as its start-up, INITTAB_LINE to run CLIENT (installed as
#       /usr/bin/poll-client), and pizero-test.sh once. Its network is a USB
#       Ethernet device on a tap in the lab, as above; its serial console goes
#       to OUT_DIR/serial.log. Same background run and BOARD_VM_PID.

BOARD_VM_MEMORY_MB=512
BOARD_VM_CPUS=2
BOARD_VM_MAC=52:54:00:03:52:10

# board_vm_tap: the board's tap vm0 on the lab's bridge, in place of the
# lab's client host, whose address the board takes.
board_vm_tap() {
	[ -n "${LAB_SWITCH:-}" ] || { echo "board-vm: no lab" >&2; return 1; }
	ip -n "$LAB_SWITCH" link del c0 || return 1
	ip -n "$LAB_SWITCH" tuntap add dev vm0 mode tap || return 1
	ip -n "$LAB_SWITCH" link set vm0 master br0 up || return 1
}

board_vm_boot() {
	local image=$1 payload=$2 out=$3 seconds=$4
	[ -n "${LAB_SWITCH:-}" ] || { echo "board-vm: no lab" >&2; return 1; }
	qemu-img create -q -f qcow2 -F raw -b "$image/root.img" "$out/overlay.qcow2" || return 1
	mke2fs -q -t ext4 -d "$payload" "$out/payload.img" 64M >/dev/null || return 1
	board_vm_tap || return 1
	: >"$out/console.log"
	ip netns exec "$LAB_SWITCH" timeout -s KILL "$seconds" qemu-system-arm \
		-M virt,highmem=off -cpu cortex-a15 -smp $BOARD_VM_CPUS -m $BOARD_VM_MEMORY_MB \
		-nodefaults -display none -monitor none -no-reboot \
		-kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
		-append "root=/dev/vda rw console=ttyAMA0 panic=-1 quiet mitigations=off" \
		-drive if=none,id=root,file="$out/overlay.qcow2",format=qcow2 \
		-device virtio-blk-pci,drive=root \
		-drive if=none,id=payload,file="$out/payload.img",format=raw,readonly=on \
		-device virtio-blk-pci,drive=payload \
		-netdev tap,id=lab,ifname=vm0,script=no,downscript=no \
		-device virtio-net-pci,netdev=lab,mac=$BOARD_VM_MAC,romfile= \
		-serial file:"$out/serial.log" \
		-device virtio-serial-pci -chardev file,id=report,path="$out/console.log" \
		-device virtconsole,chardev=report \
		</dev/null >"$out/qemu.log" 2>&1 &
	BOARD_VM_PID=$!
}

pizero_boot() {
	local parts=$1 line=$2 client=$3 out=$4 seconds=$5 here root
	here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
	root=$out/initramfs
	mkdir -p "$root"/{dev,proc,sys,etc/init.d,usr/bin,sbin} || return 1
	cp -a "$parts/root/." "$root/" || return 1
	cp "$client" "$root/usr/bin/poll-client" || return 1
	install -m 755 "$here/pizero-rcS" "$root/etc/init.d/rcS" || return 1
	install -m 755 "$here/pizero-test.sh" "$root/etc/pizero-test.sh" || return 1
	printf '::sysinit:/etc/init.d/rcS\n%s\n::once:/bin/sh /etc/pizero-test.sh\n' "$line" \
		>"$root/etc/inittab" || return 1
	ln -s bin/busybox "$root/init" && ln -s busybox "$root/bin/sh" &&
		ln -s ../bin/busybox "$root/sbin/init" || return 1
	# The kernel opens the console before anything is mounted.
	mknod -m 600 "$root/dev/console" c 5 1 || return 1
	(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initramfs.cpio.gz" || return 1
	board_vm_tap || return 1
	: >"$out/serial.log"
	ip netns exec "$LAB_SWITCH" timeout -s KILL "$seconds" qemu-system-arm \
		-M raspi0 -nodefaults -display none -monitor none -no-reboot \
		-kernel "$parts/vmlinuz" -dtb "$parts/bcm2835-rpi-zero.dtb" \
		-initrd "$out/initramfs.cpio.gz" \
		-append "console=ttyAMA0 quiet loglevel=1 panic=-1" \
		-netdev tap,id=lab,ifname=vm0,script=no,downscript=no \
		-device usb-net,netdev=lab,mac=$BOARD_VM_MAC \
		-serial file:"$out/serial.log" \
		</dev/null >"$out/qemu.log" 2>&1 &
	BOARD_VM_PID=$!
}
