#!/bin/bash
# autopkgtest.sh [--testbed] [ARCH]: runs the packages' as-installed tests
# (debian/tests) with Debian's autopkgtest on the packages of ARCH (this
# machine's by default) in dist/, in a throw-away testbed: a copy of a
# minimal Debian bookworm of that architecture (a foreign one runs under
# qemu-user through binfmt_misc), whose tarball debian-tarball.sh caches.
# The testbed serves as cached, not updated: a run needs no network. Exits
# as autopkgtest does: 0 only when every test passed, none skipped.
# --testbed: only makes the testbed's tarball, if the cache has none, and
# prints its path. Runs as any user with subordinate ids, once
# install-deps.sh has installed the tools and given the ids.
set -euo pipefail
cd "$(dirname "$0")/.."
testbed_only=no
[ "${1:-}" != --testbed ] || { testbed_only=yes; shift; }
arch=${1:-$(dpkg --print-architecture)}
RELEASE=bookworm

for tool in autopkgtest mmdebstrap newuidmap; do
	command -v $tool >/dev/null ||
		{ echo "autopkgtest: $tool not found (sudo ./scripts/install-deps.sh test)" >&2; exit 1; }
done
./scripts/run-foreign.sh "$arch"
# The tests' own dependencies, all but the packages under test, come in the
# cached testbed, instead of being installed in every run, and so do
# dpkg-dev and apt-utils, which autopkgtest itself installs to run a source
# tree's tests and to serve the packages under test.
# The packages' own Depends (libc6) are in any testbed.
deps=$({ sed -n 's/^Depends: //p' debian/tests/control | tr -d ' ' | tr ',' '\n'; echo dpkg-dev; echo apt-utils; } |
	grep -v -x -e poll-client -e board-sim | sort -u | paste -sd ,)
tarball=$(./scripts/debian-tarball.sh "testbed-$arch-$RELEASE" --variant=apt --arch="$arch" \
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

# The testbed is never booted, so nothing made systemd's runtime folder and
# the machine's id, which a booted system has and systemd-analyze verify
# needs (the unit's journal namespace names its folder by the id). It has no
# source that apt would reach for: the packages under test come from dist/,
# and their tests' Depends are in it.
setup="mkdir -p /run/systemd && systemd-machine-id-setup >/dev/null &&
	rm -f /etc/apt/sources.list /etc/apt/sources.list.d/*"
# The testbed is unpacked on a tmpfs over /tmp, which autopkgtest's own
# files share, and entered by autopkgtest's chroot backend, in mount and PID
# namespaces of this run's own, which take the tmpfs, the testbed's /proc,
# /sys and /dev (the host's) and every process with them. Its root is this
# run's: the caller, when root (in a test, its namespace's); an ordinary
# user's in a user namespace of its subordinate ids.
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
