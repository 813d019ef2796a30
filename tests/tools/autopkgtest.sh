#!/bin/bash
# autopkgtest.sh [--testbed] [ARCH]: runs the packages' as-installed tests
# (debian/tests) with Debian's autopkgtest on the packages of ARCH (this
# machine's by default) in dist/, in a throw-away copy of a minimal Debian
# bookworm of that architecture (a foreign one under qemu-user), cached by
# debian-tarball.sh and never updated: a run needs no network. Exits as
# autopkgtest does. --testbed: only makes the testbed, and prints its path.
set -euo pipefail
cd "$(dirname "$0")/../.."
testbed_only=no
[ "${1:-}" != --testbed ] || { testbed_only=yes; shift; }
arch=${1:-$(dpkg --print-architecture)}
RELEASE=bookworm

for tool in autopkgtest mmdebstrap newuidmap; do
	command -v $tool >/dev/null ||
		{ echo "autopkgtest: $tool not found (sudo ./scripts/install-deps.sh test)" >&2; exit 1; }
done
./scripts/run-foreign.sh "$arch"
# The testbed holds the tests' Depends but the packages under test, their
# own library beyond the C library (libmosquitto1), and the dpkg-dev and
# apt-utils that autopkgtest itself installs.
deps=$({ sed -n 's/^Depends: //p' debian/tests/control | tr -d ' ' | tr ',' '\n'; printf '%s\n' libmosquitto1 dpkg-dev apt-utils; } |
	grep -v -x -e poll-client -e board-sim | sort -u | paste -sd ,)
tarball=$(./tests/tools/debian-tarball.sh "testbed-$arch-$RELEASE" --variant=apt --arch="$arch" \
	--include="$deps" "$RELEASE")
if [ $testbed_only = yes ]; then
	echo "$tarball"
	exit
fi

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
debs=(dist/poll-client_"${version}_$arch".deb dist/board-sim_"${version}_$arch".deb)
for deb in "${debs[@]}"; do
	[ -f "$deb" ] || { echo "autopkgtest: no $deb (run ./scripts/package.sh)" >&2; exit 1; }
done

# A testbed never booted lacks systemd's runtime folder and the machine's id,
# which systemd-analyze verify needs for the unit's journal namespace; and
# no source is left that apt would reach for.
setup="mkdir -p /run/systemd && systemd-machine-id-setup >/dev/null &&
	rm -f /etc/apt/sources.list /etc/apt/sources.list.d/*"
# Unpacked on a tmpfs over /tmp and entered by autopkgtest's chroot backend,
# in mount and PID namespaces that end with this run; an ordinary user's in
# a user namespace of its subordinate ids.
userns=()
[ "$(id -u)" -eq 0 ] || userns=(--map-auto --map-root-user)
exec env -u TMPDIR unshare "${userns[@]}" --mount --pid --fork --kill-child --mount-proc \
	--propagation private -- bash -c 'set -e
		mount -t tmpfs testbed /tmp
		root=$(mktemp -d)
		tar -x -C "$root" -f "$1" --exclude="./dev/?*"
		mount -t proc proc "$root/proc"
		mount --rbind /sys "$root/sys"
		mount --rbind /dev "$root/dev"
		shift
		exec autopkgtest "$@" -- chroot "$root"' \
	autopkgtest "$tarball" --setup-commands="$setup" "${debs[@]}" .
