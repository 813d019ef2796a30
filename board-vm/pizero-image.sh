#!/bin/bash
# pizero-image.sh: prints the folder that holds the emulated Raspberry Pi
# Zero's parts, fetched first if the cache has none for this recipe: Debian's
# armel kernel for the Pi Zero/1 (vmlinuz), its device tree mended for qemu
# (bcm2835-rpi-zero.dtb), and root/, the base of each run's initramfs:
# busybox-static and the USB network modules. Needs apt's armel lists.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# The USB network stack for qemu's usb-net (CDC Ethernet), in load order.
MODULES="drivers/net/mii.ko drivers/net/usb/usbnet.ko drivers/net/usb/cdc_ether.ko"

say() { echo "board-vm: $*" >&2; }

if [ "${1:-}" != --make ]; then
	exec "$here/../scripts/cache.sh" pizero "$0" -- "$0" --make
fi
work=$2
# shellcheck source=/dev/null
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
"$here/../scripts/debian-mirror.sh" --answers "$release" || {
	say "the Debian archive $("$here/../scripts/debian-mirror.sh") does not answer, and the cache $(dirname "$work") has no parts yet"
	exit 1
}
say "fetching the Pi Zero's kernel and busybox into $work"
# Whole outputs read, not cut short: under pipefail a writer cut off by
# SIGPIPE fails the pipe.
dpkg --print-foreign-architectures | grep -x armel >/dev/null ||
	{ say "the armel architecture is not added (./scripts/install-deps.sh package)"; exit 1; }
kernel=$(apt-cache depends linux-image-rpi:armel | sed -n 's/.*Depends: \(linux-image-[0-9][^:]*-rpi\).*/\1/p' | sed -n 1p)
[ -n "$kernel" ] || { say "no linux-image-rpi for armel in apt's lists"; exit 1; }
(cd "$work" && apt-get download -q "$kernel:armel" busybox-static:armel) >&2 2>/dev/null ||
	(cd "$work" && apt-get update -qq && apt-get download -q "$kernel:armel" busybox-static:armel) >&2
dpkg-deb -x "$work"/linux-image-*.deb "$work/k"
dpkg-deb -x "$work"/busybox-static_*.deb "$work/bb"
version=${kernel#linux-image-}

cp "$work/k/boot/vmlinuz-$version" "$work/vmlinuz"
# qemu's raspi0 has no "asb" registers, and the kernel panics probing them in
# bcm2835_power_probe: the power node keeps only its first register range.
dtc -q -I dtb -O dts "$work/k/usr/lib/linux-image-$version/bcm2835-rpi-zero.dtb" |
	sed '/watchdog@7e100000 {/,/};/{
		s/reg = <\(0x7e100000 0x[0-9a-f]*\) 0x7e00a000 0x[0-9a-f]*>;/reg = <\1>;/
		s/reg-names = "pm\\0asb";/reg-names = "pm";/
	}' >"$work/zero.dts"
grep -q 'reg-names = "pm";' "$work/zero.dts" || { say "the device tree's power node has changed"; exit 1; }
dtc -q -I dts -O dtb -o "$work/bcm2835-rpi-zero.dtb" "$work/zero.dts"

root=$work/root
mkdir -p "$root/bin" "$root/lib/modules"
cp "$work/bb/bin/busybox" "$root/bin/busybox"
for m in $MODULES; do
	cp "$work/k/lib/modules/$version/kernel/$m" "$root/lib/modules/"
done
rm -rf "$work/k" "$work/bb" "$work"/*.deb "$work/zero.dts"
