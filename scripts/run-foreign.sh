#!/bin/sh
# run-foreign.sh ARCH: makes this machine run ARCH programs through qemu-user
# and binfmt_misc, as mmdebstrap's maintainer scripts and autopkgtest's
# testbeds of a foreign architecture need. Where no systemd is PID 1, nothing
# else has mounted binfmt_misc or enabled the handler. Only that needs root,
# once (install-deps.sh does it): when ARCH's programs run, it does nothing.
set -eu
. "$(dirname "$0")/../lab/common.sh"
arch=${1:?usage: run-foreign.sh ARCH}
[ "$arch" != "$(dpkg --print-architecture)" ] || exit 0
arch-test "$arch" >/dev/null 2>&1 && exit 0
# Only the first user namespace's root may enable handlers for all: in any
# other, a mount of binfmt_misc would make an empty one of its own.
if [ "$(id -u)" -ne 0 ] || ! in_first_userns; then
	echo "run-foreign: cannot run $arch programs; to enable qemu-user for them, run: sudo ./scripts/install-deps.sh vm" >&2
	exit 1
fi
mountpoint -q /proc/sys/fs/binfmt_misc ||
	mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
case $arch in
arm64) handler=qemu-aarch64 ;;
*) handler=qemu-arm ;;
esac
update-binfmts --enable "$handler" 2>/dev/null || true
arch-test "$arch" >/dev/null ||
	{ echo "run-foreign: cannot run $arch programs (binfmt_misc, qemu-user-static)" >&2; exit 1; }
