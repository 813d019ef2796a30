# board-vm.sh: boots an emulated board in the network lab, in the client
# host's place, with the lab client's address (ADDRESS in the settings.sh
# that its scripts source). Source it from bash inside a lab (lab/lab). A
# board runs in the background for SECONDS at most; BOARD_VM_PID is the
# emulator's pid, and its serial console goes to OUT_DIR/serial.log.

BOARD_VM_MEMORY_MB=512
# One CPU: each emulated CPU is a host thread, and a second one would take
# the core that the tests beside the board need, for no fact of the test.
BOARD_VM_CPUS=1
BOARD_VM_MAC=52:54:00:03:52:10

# board_vm_run SECONDS OUT_DIR NIC_MODEL QEMU..: the one way to start an
# emulated board. Its network device is NIC_MODEL on a tap on the lab's
# bridge, in the client host's place: the emulator has no other way out.
board_vm_run() {
	local seconds=$1 out=$2 nic=$3
	shift 3
	[ -n "${LAB_BRIDGE:-}" ] || { echo "board-vm: not inside a lab" >&2; return 1; }
	ip link del "$LAB_CLIENT_LINK" || return 1
	ip tuntap add dev vm0 mode tap || return 1
	ip link set vm0 master "$LAB_BRIDGE" up || return 1
	: >"$out/serial.log"
	timeout -s KILL "$seconds" "$@" -nodefaults -display none -monitor none -no-reboot \
		-netdev tap,id=lab,ifname=vm0,script=no,downscript=no \
		-device "$nic,netdev=lab,mac=$BOARD_VM_MAC" \
		-serial file:"$out/serial.log" \
		</dev/null >"$out/qemu.log" 2>&1 &
	BOARD_VM_PID=$!
}

# board_vm_settings: the settings that the board's scripts source, in
# settings.sh: the lab client's address, which the board takes.
board_vm_settings() {
	printf 'ADDRESS=%s/%s\n' "$LAB_CLIENT_IP" "$LAB_PREFIX_LEN"
}

# board_vm_boot IMAGE_DIR PAYLOAD_DIR OUT_DIR SECONDS: the Debian image of
# image.sh through an overlay, PAYLOAD_DIR a read-only disk whose run.sh the
# board runs, reporting on its virtio console (OUT_DIR/console.log).
board_vm_boot() {
	local image=$1 payload=$2 out=$3 seconds=$4
	board_vm_settings >>"$payload/settings.sh"
	qemu-img create -q -f qcow2 -F raw -b "$image/root.img" "$out/overlay.qcow2" || return 1
	mke2fs -q -t ext4 -d "$payload" "$out/payload.img" 64M >/dev/null || return 1
	: >"$out/console.log"
	# ip=: systemd's network generator gives the address to networkd at boot.
	board_vm_run "$seconds" "$out" virtio-net-pci,romfile= \
		qemu-system-arm -M virt,highmem=off -cpu cortex-a15 \
		-smp $BOARD_VM_CPUS -m $BOARD_VM_MEMORY_MB \
		-kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
		-append "root=/dev/vda rw console=ttyAMA0 panic=-1 quiet mitigations=off ip=$LAB_CLIENT_IP:::$LAB_PREFIX_LEN:::off" \
		-drive if=none,id=root,file="$out/overlay.qcow2",format=qcow2 \
		-device virtio-blk-pci,drive=root \
		-drive if=none,id=payload,file="$out/payload.img",format=raw,readonly=on \
		-device virtio-blk-pci,drive=payload \
		-device virtio-serial-pci -chardev file,id=report,path="$out/console.log" \
		-device virtconsole,chardev=report
}
