#!/bin/bash
# autopkgtest.sh ARCH: runs the packages' as-installed tests (debian/tests)
# with Debian's autopkgtest on the packages of ARCH in dist/, in an unshare
# testbed: a minimal Debian bookworm of that architecture (a foreign one runs
# under qemu-user through binfmt_misc). The testbed's tarball is cached in
# /var/cache/poll-client-autopkgtest, keyed by its recipe. Exits as
# autopkgtest does: 0 only when every test passed, none skipped. Needs root
# (it adds root's subordinate ids through install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: autopkgtest.sh ARCH}
RELEASE=bookworm
CACHE=${AUTOPKGTEST_CACHE:-/var/cache/poll-client-autopkgtest}

./scripts/install-deps.sh test >&2
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
debs=(dist/poll-client_"${version}_$arch".deb dist/board-sim_"${version}_$arch".deb)
for deb in "${debs[@]}"; do
	[ -f "$deb" ] || { echo "autopkgtest: no $deb (run ./scripts/package.sh)" >&2; exit 1; }
done

if [ "$arch" != "$(dpkg --print-architecture)" ]; then
	mountpoint -q /proc/sys/fs/binfmt_misc ||
		mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
	update-binfmts --enable qemu-arm 2>/dev/null || true
	arch-test "$arch" >/dev/null || { echo "autopkgtest: cannot run $arch programs" >&2; exit 1; }
fi
recipe="mmdebstrap --variant=apt --format=tar --arch=$arch $RELEASE"
tarball=$CACHE/$RELEASE-$arch-$(printf '%s\n' "$recipe" | sha256sum | cut -c1-12).tar
if [ ! -s "$tarball" ]; then
	echo "autopkgtest: making the $arch testbed (a minute or two)" >&2
	mkdir -p "$CACHE"
	rm -f "$CACHE/$RELEASE-$arch"-*.tar
	$recipe "$tarball.part" >&2 2>"$tarball.log" || { cat "$tarball.log" >&2; exit 1; }
	mv "$tarball.part" "$tarball"
	rm -f "$tarball.log"
fi
autopkgtest -U "${debs[@]}" . -- unshare --arch "$arch" --release "$RELEASE" --tarball "$tarball"
