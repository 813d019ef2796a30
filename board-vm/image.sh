#!/bin/bash
# image.sh: prints the folder that holds the emulated Debian board's system,
# made first if the cache has none for this recipe (tests/tools/cache.sh): a
# minimal Debian 13 armhf with systemd as PID 1 (root.img, ext4, to boot
# through an overlay), Debian's armmp kernel (vmlinuz) and a small initrd
# (initrd.img, tiny-initramfs), set up by the hooks in hooks/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
ARCH=armhf
RELEASE=trixie
ROOT_SIZE=1G

say() { echo "board-vm: $*" >&2; }

if [ "${1:-}" = --make ]; then
	mirror=$2 out=$3
	"$here/../tests/tools/debian-mirror.sh" --answers $RELEASE ||
		{ say "the Debian archive $mirror does not answer, and the cache $(dirname "$out") has no image yet"; exit 1; }
	# Maintainer scripts of foreign packages run under qemu-user.
	"$here/../scripts/run-foreign.sh" $ARCH
	say "building the $ARCH $RELEASE image (a few minutes) into $out"
	# merged-usr: usrmerge's conversion costs half a minute of emulation; no
	# manual pages, documentation or locales, nor man-db's slow triggers. The
	# package's own library beyond the C library is there, as the board has
	# no archive to fetch it from.
	mmdebstrap --quiet --arch=$ARCH --variant=apt --mode=unshare --format=tar \
		--include="systemd,systemd-sysv,udev,iproute2,kmod,tiny-initramfs,linux-image-armmp,libmosquitto1" \
		--hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
		--hook-dir=/usr/share/mmdebstrap/hooks/eatmydata --hook-dir="$here/hooks" \
		--dpkgopt='path-exclude=/usr/share/man/*' \
		--dpkgopt='path-exclude=/usr/share/doc/*' \
		--dpkgopt='path-include=/usr/share/doc/*/copyright' \
		--dpkgopt='path-exclude=/usr/share/locale/*' \
		$RELEASE "$out/root.tar" "$mirror"
	# mke2fs -d takes the owners that it finds: the tree is unpacked where they
	# are the board's, in a user namespace of the caller's subordinate ids, on
	# a tmpfs that goes with it, however it ends.
	mkdir "$out/tree"
	PATH=$PATH:/usr/sbin:/sbin unshare --map-auto --map-root-user --mount sh -euc 'cd "$1"
		mount -t tmpfs board-tree tree && tar -x -C tree -f root.tar --exclude="./dev/?*"
		cp -L tree/vmlinuz vmlinuz && cp -L tree/initrd.img initrd.img
		mke2fs -q -t ext4 -d tree root.img "$2"' image "$out" $ROOT_SIZE
	rm -r "$out/root.tar" "$out/tree"
	exit
fi

[ $# -eq 0 ] || { say "usage: image.sh"; exit 2; }
mirror=$("$here/../tests/tools/debian-mirror.sh")
exec "$here/../tests/tools/cache.sh" "board-$ARCH-$RELEASE" "$0" "$here"/hooks/* "$here/board-test.service" -- \
	"$0" --make "$mirror"
