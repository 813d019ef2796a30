#!/bin/sh
# install-deps.sh [GROUP..]: installs the Debian packages that a job needs.
# Groups: demo (the lab and the native build), package (Debian packages for
# amd64 and armhf), vm (the emulated ARM board), test (everything the test
# command runs: all of them). Default: test. Idempotent: does nothing when
# every tool is already present.
set -eu

# command that must exist : package that brings it
DEMO="
ip:iproute2
cmake:cmake
"
PACKAGE="
cmake:cmake
dpkg-buildpackage:dpkg-dev
dh:debhelper
lintian:lintian
arm-linux-gnueabihf-g++:g++-arm-linux-gnueabihf
"
VM="
qemu-system-arm:qemu-system-arm
qemu-arm-static:qemu-user-static
update-binfmts:binfmt-support
arch-test:arch-test
mmdebstrap:mmdebstrap
qemu-img:qemu-utils
mke2fs:e2fsprogs
"
TEST="
tcpdump:tcpdump
qemu-arm:qemu-user
clang++:clang
clang-tidy:clang-tidy
clang-format:clang-format
cppcheck:cppcheck
valgrind:valgrind
strace:strace
callgrind_annotate:valgrind
taskset:util-linux
unshare:util-linux
pgrep:procps
systemd-analyze:systemd
dpkg-deb:dpkg
file:file
nm:binutils
groff:groff-base
man:man-db
"

[ $# -gt 0 ] || set -- test
needs="" multiarch=no test_extras=no
for group in "$@"; do
	case $group in
	demo) needs="$needs $DEMO" ;;
	package) needs="$needs $PACKAGE" multiarch=yes ;;
	vm) needs="$needs $VM" ;;
	test) needs="$needs $DEMO $PACKAGE $VM $TEST" multiarch=yes test_extras=yes ;;
	*) echo "install-deps: unknown group '$group' (demo, package, vm, test)" >&2; exit 2 ;;
	esac
done

missing=""
for pair in $needs; do
	cmd=${pair%%:*}
	pkg=${pair#*:}
	command -v "$cmd" >/dev/null 2>&1 || missing="$missing $pkg"
done
if [ $test_extras = yes ]; then
	# libFuzzer's runtime ships apart from the clang driver on some installs.
	if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
		missing="$missing libclang-rt-14-dev"
	fi
	# qemu-user needs the ARM C library to run dynamic ARM binaries.
	[ -e /usr/arm-linux-gnueabihf/lib/libc.so.6 ] || missing="$missing libc6-armhf-cross"
	# GoogleTest built from source for the ARM tests.
	[ -e /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest"
fi
# dpkg-shlibdeps finds the armhf C library, and its symbols, through multiarch.
add_arch=no
if [ $multiarch = yes ]; then
	dpkg --print-foreign-architectures | grep -qx armhf || add_arch=yes
	[ "$(dpkg-query -W -f '${Status}' libc6:armhf 2>/dev/null)" = "install ok installed" ] ||
		missing="$missing libc6:armhf"
fi

if [ -z "$missing" ] && [ $add_arch = no ]; then
	exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
	echo "install-deps: need root to install:$missing" >&2
	exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ $add_arch = yes ]; then
	echo "install-deps: adding the armhf architecture (multiarch)" >&2
	dpkg --add-architecture armhf
fi
echo "install-deps: installing$missing" >&2
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
