#!/bin/sh
# install-deps.sh [GROUP..]: installs the Debian packages that a job needs, on
# Debian 12 or 13 from a bare system up (the compiler included).
# Groups: demo (the lab and the native build), package (Debian packages for
# amd64, armhf, armel and arm64, and the static ARM binaries), vm (the
# emulated ARM boards), test (everything the test command runs: all of them). Default:
# test. Idempotent: installs only what is missing, and does nothing when all
# of it is there. Packages are named without versions: each release brings its
# own (libclang-rt-dev is the runtime of the release's default clang).
set -eu

# The lab needs ip and ss (iproute2) and sysctl (procps).
DEMO="iproute2 procps cmake make g++"
# Cross compilers and the foreign C libraries, through multiarch, for
# dpkg-shlibdeps and for the musl-linked static ARM binaries.
PACKAGE="cmake make g++ dpkg-dev debhelper lintian fakeroot file
g++-arm-linux-gnueabihf libc6:armhf
g++-arm-linux-gnueabi libc6:armel musl-dev:armel
g++-aarch64-linux-gnu libc6:arm64 musl-dev:arm64"
VM="qemu-system-arm qemu-user-static binfmt-support arch-test mmdebstrap
qemu-utils e2fsprogs device-tree-compiler cpio"
TEST="tcpdump libpcap-dev qemu-user libc6-armhf-cross libc6-armel-cross libc6-arm64-cross
libgtest-dev googletest clang libclang-rt-dev clang-tidy clang-format cppcheck
valgrind strace util-linux procps systemd dpkg binutils groff-base man-db
musl-tools autopkgtest uidmap shellcheck python3 moreutils mosquitto mosquitto-clients"
FOREIGN_ARCHES="armhf armel arm64"

[ $# -gt 0 ] || set -- test
wanted="" multiarch=no
for group in "$@"; do
	case $group in
	demo) wanted="$wanted $DEMO" ;;
	package) wanted="$wanted $PACKAGE" multiarch=yes ;;
	vm) wanted="$wanted $VM" ;;
	test) wanted="$wanted $DEMO $PACKAGE $VM $TEST" multiarch=yes ;;
	*) echo "install-deps: unknown group '$group' (demo, package, vm, test)" >&2; exit 2 ;;
	esac
done

missing=""
for pkg in $wanted; do
	case " $missing " in *" $pkg "*) continue ;; esac
	[ "$(dpkg-query -W -f '${db:Status-Abbrev}' "$pkg" 2>/dev/null)" = "ii " ] ||
		missing="$missing $pkg"
done
add_arches=""
if [ $multiarch = yes ]; then
	for arch in $FOREIGN_ARCHES; do
		dpkg --print-foreign-architectures | grep -qx "$arch" || add_arches="$add_arches $arch"
	done
fi
# autopkgtest's unshare testbed maps root's subordinate ids.
subids=no
case " $wanted " in
*" uidmap "*)
	for f in /etc/subuid /etc/subgid; do
		grep -q '^root:' "$f" 2>/dev/null || subids=yes
	done
	;;
esac

if [ -z "$missing" ] && [ -z "$add_arches" ] && [ $subids = no ]; then
	exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
	echo "install-deps: need root to install:$missing$add_arches" >&2
	exit 1
fi
export DEBIAN_FRONTEND=noninteractive
for arch in $add_arches; do
	echo "install-deps: adding the $arch architecture (multiarch)" >&2
	dpkg --add-architecture "$arch"
done
# Two passes: a foreign architecture's package that cannot be had (an archive
# without that file) must not keep the native tools from being installed.
native="" foreign=""
for pkg in $missing; do
	case $pkg in
	*:*) foreign="$foreign $pkg" ;;
	*) native="$native $pkg" ;;
	esac
done
status=0
if [ -n "$missing" ]; then
	apt-get update -qq
fi
for set in "$native" "$foreign"; do
	[ -n "$set" ] || continue
	echo "install-deps: installing$set" >&2
	# shellcheck disable=SC2086
	apt-get install -y -qq --no-install-recommends $set >/dev/null || status=1
done
if [ $subids = yes ]; then
	for f in /etc/subuid /etc/subgid; do
		grep -q '^root:' "$f" 2>/dev/null || echo "root:100000:65536" >>"$f"
	done
fi
[ $status -eq 0 ] || echo "install-deps: some packages could not be installed (see above)" >&2
exit $status
