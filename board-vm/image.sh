#!/bin/bash
# image.sh [RELEASE]: prints the folder that holds the emulated board's system,
# building it first if the cache has none for this recipe: a minimal armhf
# Debian RELEASE (bookworm, the default, or trixie) with systemd as PID 1,
# Debian's armmp kernel and a small initrd.
#
#   root.img      ext4 root file system (boot it through a qcow2 overlay)
#   vmlinuz       the kernel
#   initrd.img    its initramfs (tiny-initramfs: no udev, the virtio and ext4 modules only)
#
# A cold build takes 3 to 3.5 minutes here, most of it the packages'
# maintainer scripts under emulation.
#
# The cache lives in $BOARD_VM_CACHE (default /var/cache/poll-client-board-vm),
# one folder per release and hash of the recipe (this file, board-test.service
# and the release). Needs root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

CACHE=${BOARD_VM_CACHE:-/var/cache/poll-client-board-vm}
SUITE=${1:-bookworm}
case $SUITE in
bookworm | trixie) ;;
*) echo "board-vm: release '$SUITE' is not one the board is built for (bookworm, trixie)" >&2; exit 2 ;;
esac
MIRROR=http://deb.debian.org/debian
ROOT_SIZE=1G
# The board's own address on the lab subnet: the one the lab gives its client.
BOARD_ADDRESS=10.3.52.10/24
PACKAGES=systemd,systemd-sysv,udev,iproute2,kmod,tiny-initramfs,linux-image-armmp
# The initramfs loads just these (the console too, so that the report's
# console is there before any unit starts) and mounts the root: Debian's default one, with
# udev and every module, takes minutes to build under emulation and 15 s to boot.
INITRD_MODULES=virtio_pci,virtio_blk,ext4,virtio_console
# Timers and helpers that a throw-away test board never needs, and a getty on
# a console would cut off the report there; every boot of a throw-away
# overlay is a first boot, whose prompts would wait for ever.
MASKED="serial-getty@ttyAMA0.service serial-getty@hvc0.service getty@tty1.service
getty-static.service systemd-firstboot.service apt-daily.timer apt-daily-upgrade.timer
dpkg-db-backup.timer fstrim.timer e2scrub_all.timer e2scrub_reap.service"

say() { echo "board-vm: $*" >&2; }

key=$({ cat "$here/image.sh" "$here/board-test.service"; echo "$SUITE"; } | sha256sum | cut -c1-16)
out=$CACHE/$SUITE-$key
if [ -f "$out/done" ]; then
	echo "$out"
	exit 0
fi

# Maintainer scripts of ARM packages run under qemu-user.
"$here/../scripts/run-foreign.sh" armhf

say "building the armhf $SUITE image (about three minutes) into $out"
mkdir -p "$CACHE"
work=$(mktemp -d "$CACHE/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree=$work/tree

# The merged-usr hook makes /usr merged from the start: usrmerge's conversion,
# and the perl it needs, cost half a minute under emulation.
mmdebstrap --quiet --arch=armhf --variant=apt --mode=root --include="$PACKAGES" \
	--hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
	--dpkgopt='path-exclude=/usr/share/man/*' \
	--dpkgopt='path-exclude=/usr/share/doc/*' \
	--dpkgopt='path-include=/usr/share/doc/*/copyright' \
	--dpkgopt='path-exclude=/usr/share/locale/*' \
	--essential-hook='mkdir -p "$1/etc/tiny-initramfs" &&
		printf "AUTO_MODULES=no\nINCLUDE_MODULES='"$INITRD_MODULES"'\n" \
			>"$1/etc/tiny-initramfs/tiny-initramfs.conf"' \
	--customize-hook='
		echo board >"$1/etc/hostname"
		echo "/dev/vda / ext4 rw,errors=remount-ro 0 1" >"$1/etc/fstab"
		mkdir -p "$1/etc/systemd/network" "$1/mnt/payload"
		printf "[Match]\nType=ether\n\n[Network]\nAddress='"$BOARD_ADDRESS"'\nLinkLocalAddressing=no\nIPv6AcceptRA=no\n" \
			>"$1/etc/systemd/network/10-lab.network"
		chroot "$1" systemctl enable systemd-networkd
		chroot "$1" systemctl mask '"$(echo $MASKED)"'
		cp "'"$here"'/board-test.service" "$1/etc/systemd/system/"
		chroot "$1" systemctl enable board-test.service' \
	"$SUITE" "$tree" "$MIRROR" >&2

cp -L "$tree/vmlinuz" "$work/vmlinuz"
cp -L "$tree/initrd.img" "$work/initrd.img"
mke2fs -q -t ext4 -d "$tree" "$work/root.img" "$ROOT_SIZE" >/dev/null
rm -rf "$tree"
rm -rf "$out"
mv "$work" "$out"
trap - EXIT
touch "$out/done"
# This release's images of older recipes are of no more use.
for old in "$CACHE/$SUITE"-*/done; do
	[ "$old" = "$out/done" ] || rm -rf "$(dirname "$old")"
done
# So are those from before the cache was kept per release (named by the key alone).
find "$CACHE" -mindepth 1 -maxdepth 1 -type d -regextype egrep -regex '.*/[0-9a-f]{16}' -exec rm -rf {} +
echo "$out"
