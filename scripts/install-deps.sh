#!/bin/sh
# Installs the Debian packages that the build, the lab and the tests need.
# Idempotent: does nothing when every tool is already present.
set -eu

# command that must exist : package that brings it
NEEDS="
ip:iproute2
tcpdump:tcpdump
arm-linux-gnueabihf-g++:g++-arm-linux-gnueabihf
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
dpkg-deb:dpkg
dpkg-shlibdeps:dpkg-dev
file:file
nm:binutils
groff:groff-base
man:man-db
cmake:cmake
"

missing=""
for pair in $NEEDS; do
	cmd=${pair%%:*}
	pkg=${pair#*:}
	command -v "$cmd" >/dev/null 2>&1 || missing="$missing $pkg"
done
# libFuzzer's runtime ships apart from the clang driver on some installs.
if command -v clang++ >/dev/null 2>&1 &&
    ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
	missing="$missing libclang-rt-14-dev"
fi
# qemu-user needs the ARM C library to run dynamic ARM binaries.
[ -e /usr/arm-linux-gnueabihf/lib/libc.so.6 ] || missing="$missing libc6-armhf-cross"
# GoogleTest built from source for the ARM tests.
[ -e /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest"

if [ -z "$missing" ]; then
	exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
	echo "install-deps: need root to install:$missing" >&2
	exit 1
fi
echo "install-deps: installing$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
