#!/bin/sh
# run-foreign.sh ARCH: makes this machine run ARCH programs through qemu-user
# and binfmt_misc, as mmdebstrap's maintainer scripts and autopkgtest's
# testbeds of a foreign architecture need. Where no systemd is PID 1, nothing
# else has mounted binfmt_misc or enabled the handler. Needs root.
set -eu
arch=${1:?usage: run-foreign.sh ARCH}
[ "$arch" != "$(dpkg --print-architecture)" ] || exit 0
mountpoint -q /proc/sys/fs/binfmt_misc ||
	mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
case $arch in
arm64) handler=qemu-aarch64 ;;
*) handler=qemu-arm ;;
esac
update-binfmts --enable "$handler" 2>/dev/null || true
arch-test "$arch" >/dev/null ||
	{ echo "run-foreign: cannot run $arch programs (binfmt_misc, qemu-user-static)" >&2; exit 1; }
