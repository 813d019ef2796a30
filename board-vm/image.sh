#!/bin/bash
# image.sh: prints the folder that holds the emulated Debian board's system,
# made first if the cache has none for this recipe (scripts/cache.sh): a
# minimal Debian 13 armhf with systemd as PID 1 (root.img, ext4, to boot
# through an overlay), Debian's armmp kernel (vmlinuz) and a small initrd
# (initrd.img, tiny-initramfs), set up by the hooks in hooks/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
ARCH=armhf
RELEASE=trixie
ROOT_SIZE=1G

say() { echo "board-vm: $*" >&2; }

if [ "${1:-}" = --write ]; then
	# TREE OUT, in mmdebstrap's namespace, where the tree's owners are those
	# of the board's system: its /proc, /sys and /dev mounts are left out by
	# a bind mount of the tree alone.
	tree=$2 out=$3
	mkdir "$out/flat"
	mount --bind "$tree" "$out/flat"
	cp -L "$tree/vmlinuz" "$out/vmlinuz"
	cp -L "$tree/initrd.img" "$out/initrd.img"
	mke2fs -q -t ext4 -d "$out/flat" "$out/root.img" "$ROOT_SIZE"
	umount "$out/flat"
	rmdir "$out/flat"
	exit
fi

if [ "${1:-}" = --make ]; then
	mirror=$2 out=$3
	"$here/../scripts/debian-mirror.sh" --answers $RELEASE ||
		{ say "the Debian archive $mirror does not answer, and the cache $(dirname "$out") has no image yet"; exit 1; }
	# Maintainer scripts of foreign packages run under qemu-user.
	"$here/../scripts/run-foreign.sh" $ARCH
	say "building the $ARCH $RELEASE image (a few minutes) into $out"
	# merged-usr: usrmerge's conversion costs half a minute of emulation; no
	# manual pages, documentation or locales, nor man-db's slow triggers.
	TMPDIR=$out mmdebstrap --quiet --arch=$ARCH --variant=apt --mode=unshare --format=null \
		--include="systemd,systemd-sysv,udev,iproute2,kmod,tiny-initramfs,linux-image-armmp" \
		--hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
		--hook-dir=/usr/share/mmdebstrap/hooks/eatmydata --hook-dir="$here/hooks" \
		--customize-hook="\"$0\" --write \"\$1\" \"$out\"" \
		--dpkgopt='path-exclude=/usr/share/man/*' \
		--dpkgopt='path-exclude=/usr/share/doc/*' \
		--dpkgopt='path-include=/usr/share/doc/*/copyright' \
		--dpkgopt='path-exclude=/usr/share/locale/*' \
		$RELEASE /dev/null "$mirror"
	exit
fi

[ $# -eq 0 ] || { say "usage: image.sh"; exit 2; }
mirror=$("$here/../scripts/debian-mirror.sh")
exec "$here/../scripts/cache.sh" "board-$ARCH-$RELEASE" "$0" "$here"/hooks/* "$here/board-test.service" -- \
	"$0" --make "$mirror"
