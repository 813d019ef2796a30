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

BOARD_VM_MEMORY_MB=512
BOARD_VM_CPUS=2
BOARD_VM_MAC=52:54:00:03:52:10

board_vm_boot() {
	local image=$1 payload=$2 out=$3 seconds=$4
	[ -n "${LAB_SWITCH:-}" ] || { echo "board-vm: no lab" >&2; return 1; }
	qemu-img create -q -f qcow2 -F raw -b "$image/root.img" "$out/overlay.qcow2" || return 1
	mke2fs -q -t ext4 -d "$payload" "$out/payload.img" 64M >/dev/null || return 1
	ip -n "$LAB_SWITCH" link del c0 || return 1
	ip -n "$LAB_SWITCH" tuntap add dev vm0 mode tap || return 1
	ip -n "$LAB_SWITCH" link set vm0 master br0 up || return 1
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
