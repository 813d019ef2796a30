#!/bin/sh
# install-deps.sh [--dry-run] [GROUP..]: installs the Debian packages that a
# job needs, on Debian 12 or 13 from a bare system up (the compiler
# included). --dry-run, as any user, prints each change it would make and
# makes none.
# Groups: demo (the lab and the native build), mqtt (the demo's broker, its
# client, and poll-events' MQTT), package (Debian packages for
# amd64, armhf, armel and arm64, and the static ARM binaries), vm (the
# emulated ARM boards), test (everything the test command runs: all of
# them), user (poll-client-test, with a home: the ordinary user that root's
# test command runs a row as). Default: test. Idempotent: installs only what
# is missing, and does nothing when all of it is there. Packages are named
# without versions: each release brings its own (libclang-rt-dev is the
# runtime of the release's default clang).
# It also gives subordinate ids to root, to the user who called it through
# sudo and to poll-client-test (group user), as the lab's user namespace
# maps them; and, for the emulated boards, lets every user make taps, as
# Debian's udev does (/dev/net/tun, mode 0666), and run foreign programs
# through qemu-user (run-foreign.sh). It leaves no new service enabled or
# running: what a package it installed enables (mosquitto's broker), it
# disables.
# Only this needs root: run as an ordinary user
# (or as root of a test's user namespace) with all of it there, it does
# nothing, and otherwise it names the command that installs it.
set -eu
here=$(dirname "$0")
. "$here/../lab/common.sh"

# The lab needs ip and ss (iproute2), sysctl (procps) and newuidmap (uidmap).
DEMO="iproute2 procps uidmap cmake make g++"
MQTT="libmosquitto-dev mosquitto mosquitto-clients"
# The ordinary user of root's test command.
TEST_USER=poll-client-test
# Subordinate ids that each user gets, as Debian's useradd gives them.
SUBID_COUNT=65536
# Cross compilers and the foreign C libraries, through multiarch, for
# dpkg-shlibdeps and for the musl-linked static ARM binaries; libmosquitto
# for poll-events' MQTT, but on armel, whose libssl3 Debian 12's long-term
# support no longer updates, so that it cannot be installed beside amd64's.
PACKAGE="cmake make g++ dpkg-dev debhelper lintian fakeroot file libmosquitto-dev
g++-arm-linux-gnueabihf libc6:armhf libmosquitto-dev:armhf
g++-arm-linux-gnueabi libc6:armel musl-dev:armel
g++-aarch64-linux-gnu libc6:arm64 musl-dev:arm64 libmosquitto-dev:arm64"
VM="qemu-system-arm qemu-user-static binfmt-support arch-test mmdebstrap
qemu-utils e2fsprogs"
TEST="tcpdump libpcap-dev qemu-user libc6-armhf-cross libc6-armel-cross libc6-arm64-cross
libgtest-dev googletest clang libclang-rt-dev clang-tidy clang-format cppcheck
valgrind strace util-linux procps systemd dpkg binutils groff-base man-db
musl-tools autopkgtest uidmap shellcheck python3 moreutils zstd ccache"
FOREIGN_ARCHES="armhf armel arm64"
# What a package enables that the set-up keeps: binfmt-support registers the
# qemu-user handlers again at every boot.
KEEP_ENABLED="binfmt-support.service rc:binfmt-support"

dry_run=no
[ "${1:-}" != --dry-run ] || { dry_run=yes; shift; }
[ $# -gt 0 ] || set -- test
wanted="" multiarch=no boards=no test_user=no
for group in "$@"; do
	case $group in
	demo) wanted="$wanted $DEMO" ;;
	mqtt) wanted="$wanted $MQTT" ;;
	package) wanted="$wanted $PACKAGE" multiarch=yes ;;
	vm) wanted="$wanted $VM" boards=yes ;;
	test) wanted="$wanted $DEMO $MQTT $PACKAGE $VM $TEST" multiarch=yes boards=yes ;;
	user) test_user=yes ;;
	*) echo "install-deps: unknown group '$group' (demo, mqtt, package, vm, test, user)" >&2; exit 2 ;;
	esac
done

# installed PKG: true if dpkg has PKG installed; a name without an
# architecture means the native one (or the architecture-independent one),
# as a library installed for several architectures answers for each.
native=$(dpkg --print-architecture 2>/dev/null)
installed() {
	case $1 in *:*) q=$1 ;; *) q=$1:$native ;; esac
	[ "$(dpkg-query -W -f '${db:Status-Abbrev}' "$q" 2>/dev/null)" = "ii " ] ||
		[ "$(dpkg-query -W -f '${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]
}
missing=""
for pkg in $wanted; do
	case " $missing " in *" $pkg "*) continue ;; esac
	installed "$pkg" || missing="$missing $pkg"
done
add_arches=""
if [ $multiarch = yes ]; then
	for arch in $FOREIGN_ARCHES; do
		dpkg --print-foreign-architectures | grep -qx "$arch" || add_arches="$add_arches $arch"
	done
fi
# The users whose subordinate ids the lab (and autopkgtest's testbed) maps.
users="root ${SUDO_USER:-} $(id -un)"
[ $test_user = no ] || users="$users $TEST_USER"
need_ids=""
# Any user namespace but the machine's own has the ids that it was given.
in_first_userns || users=""
for user in $users; do
	case " $need_ids " in *" $user "*) continue ;; esac
	for f in /etc/subuid /etc/subgid; do
		if ! grep -q "^$user:" "$f" 2>/dev/null; then
			need_ids="$need_ids $user"
			break
		fi
	done
done
need_user=no
[ $test_user = no ] || id "$TEST_USER" >/dev/null 2>&1 || need_user=yes
need_boards=""
if [ $boards = yes ]; then
	[ "$(stat -c %a /dev/net/tun 2>/dev/null)" = 666 ] || need_boards=" taps for all (/dev/net/tun)"
	for arch in $FOREIGN_ARCHES; do
		arch-test "$arch" >/dev/null 2>&1 || need_boards="$need_boards $arch programs (qemu-user)"
	done
fi

if [ -z "$missing" ] && [ -z "$add_arches" ] && [ -z "$need_ids" ] && [ $need_user = no ] &&
	[ -z "$need_boards" ]; then
	[ $dry_run = no ] || echo "install-deps: nothing to change"
	exit 0
fi
if [ $dry_run = yes ]; then
	[ -z "$add_arches" ] || echo "architectures to add (dpkg --add-architecture):$add_arches"
	[ -z "$missing" ] || echo "packages to install, with their dependencies:$missing"
	[ -z "$missing" ] || echo "services that they enable: disabled again, none left running"
	[ $need_user = no ] || echo "system user to add, with a home: $TEST_USER"
	[ -z "$need_ids" ] || echo "subordinate ids, $SUBID_COUNT each, in /etc/subuid and /etc/subgid, for:$need_ids"
	case $need_boards in *tun*) echo "device mode: /dev/net/tun to 0666, so that every user may make taps" ;; esac
	for arch in $FOREIGN_ARCHES; do
		case $need_boards in *"$arch programs"*) echo "binfmt_misc handler: qemu-user for $arch programs" ;; esac
	done
	exit 0
fi
# Root of a user namespace whose system is its own (a test's Debian) may
# install too; one that may not write dpkg's database may not.
if [ "$(id -u)" -ne 0 ] || [ ! -w /var/lib/dpkg ]; then
	echo "install-deps: missing:$missing$add_arches${need_ids:+ subordinate ids for$need_ids}$need_boards" >&2
	echo "install-deps: to install them, run: sudo $0 $*" >&2
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
apt_log=$(mktemp)
trap 'rm -f "$apt_log"' EXIT
# A list that cannot be had (a mirror mid-sync, a proxy's stale file) is
# no failed set-up: what is missing may well come from the others. Only a
# failed install is.
if [ -n "$missing" ] && ! apt-get update -qq >"$apt_log" 2>&1; then
	echo "install-deps: apt-get update failed for some lists; going on with the others:" >&2
	grep -E '^(E|W): ' "$apt_log" | grep -v 'have been ignored' | sed 's/^/install-deps:   /' >&2
fi
# enabled_units: what starts at boot, one unit or init script a line.
enabled_units() {
	find /etc/systemd/system -path '*.wants/*' -type l -printf '%f\n' 2>/dev/null
	find /etc/rc2.d /etc/rc3.d /etc/rc4.d /etc/rc5.d -name 'S[0-9][0-9]*' -printf 'rc:%f\n' 2>/dev/null |
		sed 's/^rc:S[0-9][0-9]/rc:/'
}
enabled_before=$(enabled_units | sort -u)
# A policy that no service may start while packages install; one of the
# machine's own stays as it is.
policy=/usr/sbin/policy-rc.d
if [ -n "$missing" ] && [ ! -e $policy ]; then
	printf '#!/bin/sh\nexit 101\n' >$policy && chmod 755 $policy
	trap 'rm -f "$apt_log" $policy' EXIT
	trap 'exit 1' HUP INT TERM
fi
for set in "$native" "$foreign"; do
	[ -n "$set" ] || continue
	echo "install-deps: installing$set" >&2
	# shellcheck disable=SC2086
	if ! apt-get install -y -qq --no-install-recommends $set >/dev/null 2>"$apt_log"; then
		status=1
		echo "install-deps: could not install$set: the archive may be mid-sync or unreachable; apt said:" >&2
		sed 's/^/install-deps:   /' "$apt_log" >&2
	fi
done
# What the packages enabled goes off again: no new service at boot, and
# none running (the policy above kept them from starting).
printf '%s\n' "$enabled_before" >"$apt_log"
for unit in $(enabled_units | sort -u | comm -13 "$apt_log" -); do
	case " $KEEP_ENABLED " in *" $unit "*) continue ;; esac
	echo "install-deps: disabling $unit, which a package enabled" >&2
	case $unit in
	rc:*) update-rc.d "${unit#rc:}" disable >/dev/null 2>&1 || status=1 ;;
	*) systemctl disable --quiet "$unit" 2>/dev/null || status=1 ;;
	esac
done
if [ $need_user = yes ]; then
	echo "install-deps: adding the user $TEST_USER" >&2
	useradd --system --create-home --shell /bin/bash "$TEST_USER"
fi
# Each new range starts after the highest one given so far.
for user in $need_ids; do
	for f in /etc/subuid /etc/subgid; do
		grep -q "^$user:" "$f" 2>/dev/null && continue
		next=$(awk -F: -v n=100000 '$2 + $3 > n { n = $2 + $3 } END { print n }' "$f" 2>/dev/null || echo 100000)
		echo "$user:$next:$SUBID_COUNT" >>"$f"
	done
done
if [ -n "$need_boards" ]; then
	[ -c /dev/net/tun ] || { mkdir -p /dev/net && mknod /dev/net/tun c 10 200; }
	chmod 666 /dev/net/tun
	for arch in $FOREIGN_ARCHES; do
		"$here/run-foreign.sh" "$arch" || status=1
	done
fi
[ $status -eq 0 ] || echo "install-deps: some of it could not be set up (see above)" >&2
exit $status
