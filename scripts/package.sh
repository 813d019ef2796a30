#!/bin/bash
# package.sh: builds the Debian packages poll-client and board-sim for amd64,
# armhf and armel, and poll-client-static for armhf, into dist/, with Debian's
# own tools (debhelper, dpkg-shlibdeps against the foreign C libraries
# installed through multiarch), and runs lintian on them: any error or
# warning fails the command. Then the tarball of the universal ARM binary.
# Needs root to install what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

ARCHES=(amd64 armhf armel)
./scripts/install-deps.sh package

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
mkdir -p dist
rm -f dist/*.deb dist/*.tar.gz
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
lintian --fail-on error,warning --tag-display-limit 0 dist/*.deb

# The universal binary, as poll-client-static holds it, for boards with no
# Debian: with its manual page, the unit and how to install them by hand.
echo "package: tarball" >&2
name=poll-client-$version-linux-arm
mkdir -p "$work/static" "$work/$name"
dpkg-deb --fsys-tarfile "dist/poll-client-static_${version}_armhf.deb" |
	tar -x -C "$work/static" ./usr/bin/poll-client
cp "$work/static/usr/bin/poll-client" man/poll-client.1 systemd/poll-client@.service \
	packaging/INSTALL "$work/$name/"
tar -c -C "$work" --sort=name --owner=0 --group=0 --numeric-owner \
	--mtime="@$(dpkg-parsechangelog -l debian/changelog -S Timestamp)" "$name" |
	gzip -n -9 >"dist/$name.tar.gz"
ls -1 dist/*.deb dist/*.tar.gz
