#!/bin/bash
# image.sh ARCH RELEASE: prints the folder that holds an emulated board's
# system, made first if the cache has none for this recipe: a minimal Debian
# RELEASE (bookworm or trixie) of ARCH (armhf or arm64) with systemd as PID 1,
# Debian's kernel for the architecture and a small initrd.
#
#   root.img      ext4 root file system (boot it through a qcow2 overlay)
#   vmlinuz       the kernel
#   initrd.img    its initramfs (tiny-initramfs: no udev, a few modules)
#
# The hooks in hooks/ set the system up; cached by scripts/cache.sh, keyed by
# this file, the hooks, board-test.service and the arguments. Needs root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
MIRROR=http://deb.debian.org/debian
ROOT_SIZE=1G

say() { echo "board-vm: $*" >&2; }

# kernel_package ARCH: Debian's kernel for a qemu "virt" board of ARCH.
kernel_package() {
	case $1 in
	armhf) echo linux-image-armmp ;;
	arm64) echo linux-image-arm64 ;;
	*) say "no board for the architecture '$1' (armhf, arm64)"; return 1 ;;
	esac
}

if [ "${1:-}" = --make ]; then
	arch=$2 release=$3 out=$4
	# Maintainer scripts of foreign packages run under qemu-user.
	"$here/../scripts/run-foreign.sh" "$arch"
	say "building the $arch $release image (a few minutes) into $out"
	tree=$out/tree
	# The merged-usr hook makes /usr merged from the start: usrmerge's
	# conversion, and the perl it needs, cost half a minute under emulation.
	mmdebstrap --quiet --arch="$arch" --variant=apt --mode=root \
		--include="systemd,systemd-sysv,udev,iproute2,kmod,tiny-initramfs,$(kernel_package "$arch")" \
		--hook-dir=/usr/share/mmdebstrap/hooks/merged-usr --hook-dir="$here/hooks" \
		--dpkgopt='path-exclude=/usr/share/man/*' \
		--dpkgopt='path-exclude=/usr/share/doc/*' \
		--dpkgopt='path-include=/usr/share/doc/*/copyright' \
		--dpkgopt='path-exclude=/usr/share/locale/*' \
		"$release" "$tree" "$MIRROR"
	cp -L "$tree/vmlinuz" "$out/vmlinuz"
	cp -L "$tree/initrd.img" "$out/initrd.img"
	mke2fs -q -t ext4 -d "$tree" "$out/root.img" "$ROOT_SIZE"
	rm -rf "$tree"
	exit
fi

[ $# -eq 2 ] || { say "usage: image.sh ARCH RELEASE"; exit 2; }
case $2 in
bookworm | trixie) ;;
*) say "release '$2' is not one the board is built for (bookworm, trixie)"; exit 2 ;;
esac
kernel_package "$1" >/dev/null
exec "$here/../scripts/cache.sh" "board-$1-$2" "$0" "$here"/hooks/* "$here/board-test.service" -- \
	"$0" --make "$1" "$2"
