#!/bin/bash
# package.sh: builds the Debian packages poll-client and board-sim for amd64
# and armhf into dist/, with Debian's own tools (debhelper, dpkg-shlibdeps
# against the armhf C library installed through multiarch), and runs lintian
# on them: any error or warning fails the command. Needs root to install
# what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

ARCHES=(amd64 armhf)
./scripts/install-deps.sh package

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
mkdir -p dist
rm -f dist/*.deb
work=$(mktemp -d "${TMPDIR:-/tmp}/poll-client-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

for arch in "${ARCHES[@]}"; do
	echo "package: $arch" >&2
	src=$work/$arch/poll-client-$version
	mkdir -p "$src"
	# The source as a clean clone has it: no build trees, no earlier packages.
	tar -c --exclude=./.git --exclude='./build*' --exclude=./dist --exclude=./obj-\* . |
		tar -x -C "$src"
	cross=()
	[ "$arch" = "$(dpkg --print-architecture)" ] || cross=(--host-arch "$arch")
	(cd "$src" && dpkg-buildpackage -b -us -uc -d "${cross[@]}") >"$work/$arch.log" 2>&1 ||
		{ tail -n 40 "$work/$arch.log" >&2; echo "package: $arch build failed" >&2; exit 1; }
	mv "$work/$arch"/*.deb dist/
done

echo "package: lintian" >&2
lintian --fail-on error,warning --no-tag-display-limit dist/*.deb
ls -1 dist/*.deb
