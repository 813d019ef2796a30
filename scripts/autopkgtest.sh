#!/bin/bash
# autopkgtest.sh [ARCH]: runs the packages' as-installed tests (debian/tests)
# with Debian's autopkgtest on the packages of ARCH (this machine's by
# default) in dist/, in an unshare testbed: a minimal Debian bookworm of that
# architecture (a foreign one runs under qemu-user through binfmt_misc),
# whose tarball debian-tarball.sh caches. Exits as autopkgtest does: 0 only
# when every test passed, none skipped. Runs as any user with subordinate
# ids (install-deps.sh gives them).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-$(dpkg --print-architecture)}
RELEASE=bookworm

./scripts/install-deps.sh test >&2
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
debs=(dist/poll-client_"${version}_$arch".deb dist/board-sim_"${version}_$arch".deb)
for deb in "${debs[@]}"; do
	[ -f "$deb" ] || { echo "autopkgtest: no $deb (run ./scripts/package.sh)" >&2; exit 1; }
done

./scripts/run-foreign.sh "$arch"
# The tests' own dependencies, all but the packages under test, come in the
# cached testbed, instead of being installed in every run. The packages' own
# Depends (libc6) are in any testbed.
deps=$(sed -n 's/^Depends: //p' debian/tests/control | tr -d ' ' | tr ',' '\n' |
	grep -v -x -e poll-client -e board-sim | sort -u | paste -sd ,)
tarball=$(./scripts/debian-tarball.sh "testbed-$arch-$RELEASE" --variant=apt --arch="$arch" \
	--include="$deps" "$RELEASE")
# The testbed is never booted, so nothing made systemd's runtime folder and
# the machine's id, which a booted system has and systemd-analyze verify
# needs (the unit's journal namespace names its folder by the id).
autopkgtest -U --setup-commands="mkdir -p /run/systemd && systemd-machine-id-setup >/dev/null" "${debs[@]}" . -- \
	unshare --arch "$arch" --release "$RELEASE" --tarball "$tarball"
