#!/bin/bash
# autopkgtest.sh ARCH: runs the packages' as-installed tests (debian/tests)
# with Debian's autopkgtest on the packages of ARCH in dist/, in an unshare
# testbed: a minimal Debian bookworm of that architecture (a foreign one runs
# under qemu-user through binfmt_misc), whose tarball debian-tarball.sh
# caches. Exits as autopkgtest does: 0 only when every test passed, none
# skipped. Needs root (it adds root's subordinate ids through install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: autopkgtest.sh ARCH}
RELEASE=bookworm

./scripts/install-deps.sh test >&2
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
debs=(dist/poll-client_"${version}_$arch".deb dist/board-sim_"${version}_$arch".deb)
for deb in "${debs[@]}"; do
	[ -f "$deb" ] || { echo "autopkgtest: no $deb (run ./scripts/package.sh)" >&2; exit 1; }
done

./scripts/run-foreign.sh "$arch"
tarball=$(./scripts/debian-tarball.sh "testbed-$arch-$RELEASE" --variant=apt --arch="$arch" "$RELEASE")
autopkgtest -U "${debs[@]}" . -- unshare --arch "$arch" --release "$RELEASE" --tarball "$tarball"
