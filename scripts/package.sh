#!/bin/bash
# package.sh: builds the Debian packages poll-client and board-sim for amd64,
# armhf, armel and arm64, and poll-client-static for armhf, into dist/, with
# Debian's own tools (debhelper, dpkg-shlibdeps against the foreign C
# libraries installed through multiarch), and runs lintian on them: any error
# or warning fails the command. Then the tarballs of the static binaries: the
# universal 32-bit ARM one and the arm64 one. The static poll-events link a
# static libmosquitto, built once from Debian's source of mosquitto.
# Runs as any user; only what install-deps.sh installs needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

ARCHES=(amd64 armhf armel arm64)
./scripts/install-deps.sh package

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
mkdir -p dist
rm -f dist/*.deb dist/*.tar.gz
work=$(mktemp -d "${TMPDIR:-/tmp}/poll-client-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The static libmosquitto of each architecture with a static build.
declare -A mosquitto
mosquitto[armhf]=$(packaging/libmosquitto-musl.sh arm-linux-gnueabi)
mosquitto[armel]=${mosquitto[armhf]}
mosquitto[arm64]=$(packaging/libmosquitto-musl.sh aarch64-linux-gnu)

# build_arch ARCH: the packages of ARCH in $work/ARCH, and its log beside.
build_arch() {
	local src=$work/$1/poll-client-$version cross=()
	mkdir -p "$src"
	# The source as a clean clone has it: no build trees, no earlier packages.
	tar -c --exclude=./.git --exclude='./build*' --exclude=./dist --exclude=./obj-\* . |
		tar -x -C "$src"
	[ -z "${mosquitto[$1]:-}" ] || cp -r "${mosquitto[$1]}" "$src/libmosquitto-musl"
	[ "$1" = "$(dpkg --print-architecture)" ] || cross=(--host-arch "$1")
	(cd "$src" && dpkg-buildpackage -b -us -uc -d "${cross[@]}") >"$work/$1.log" 2>&1
}

# All at once: each build is serial (debhelper builds one job at a time
# unless DEB_BUILD_OPTIONS says more), so one alone leaves CPUs idle.
echo "package: ${ARCHES[*]}" >&2
builds=()
for arch in "${ARCHES[@]}"; do
	build_arch "$arch" &
	builds+=($!)
done
for i in "${!ARCHES[@]}"; do
	arch=${ARCHES[$i]}
	wait "${builds[$i]}" ||
		{ wait; tail -n 40 "$work/$arch.log" >&2; echo "package: $arch build failed" >&2; exit 1; }
	mv "$work/$arch"/*.deb dist/
done

echo "package: lintian" >&2
lintian --fail-on error,warning --tag-display-limit 0 dist/*.deb

# tarball NAME BIN_DIR ABOUT MUSL_ARCH MOSQUITTO: dist/NAME.tar.gz, for boards
# with no Debian: the static poll-client and poll-events in BIN_DIR with their
# manual pages, the units and the lines' journal settings, INSTALL (the text
# ABOUT on the binaries, then how to install them by hand), and the licences:
# LICENSE, COPYRIGHT.musl, the copyright file of Debian's musl for MUSL_ARCH,
# and COPYRIGHT.mosquitto, Debian's of the libmosquitto in MOSQUITTO, whose
# code the binaries hold. Reproducible: sorted, owned by root, dated by the
# changelog.
tarball() {
	local musl_copyright
	musl_copyright=$(dpkg-query -L "musl-dev:$4" | grep -m 1 '/copyright$') ||
		{ echo "package: no copyright file of musl-dev:$4" >&2; return 1; }
	mkdir -p "$work/$1"
	cp "$2/poll-client" "$2/poll-events" man/poll-client.1 man/poll-events.1 systemd/poll-client@.service \
		systemd/poll-client-lines@.service systemd/journald@poll-client.conf LICENSE "$work/$1/"
	cp "$musl_copyright" "$work/$1/COPYRIGHT.musl"
	cp "$5/copyright" "$work/$1/COPYRIGHT.mosquitto"
	cat "$3" packaging/INSTALL >"$work/$1/INSTALL"
	tar -c -C "$work" --sort=name --owner=0 --group=0 --numeric-owner \
		--mtime="@$(dpkg-parsechangelog -l debian/changelog -S Timestamp)" "$1" |
		gzip -n -9 >"dist/$1.tar.gz"
}

echo "package: tarballs" >&2
# The universal binaries as poll-client-static holds them.
dpkg-deb --fsys-tarfile "dist/poll-client-static_${version}_armhf.deb" |
	tar -x -C "$work" ./usr/bin/poll-client ./usr/bin/poll-events
tarball "poll-client-$version-linux-arm" "$work/usr/bin" packaging/about-arm armel "${mosquitto[armel]}"
# The arm64 ones, which debian/rules builds beside the arm64 package,
# stripped as dh_strip strips.
mkdir -p "$work/arm64-static"
for program in poll-client poll-events; do
	aarch64-linux-gnu-strip --remove-section=.comment --remove-section=.note -o "$work/arm64-static/$program" \
		"$work/arm64/poll-client-$version/obj-static/$program"
done
tarball "poll-client-$version-linux-arm64" "$work/arm64-static" packaging/about-arm64 arm64 "${mosquitto[arm64]}"
ls -1 dist/*.deb dist/*.tar.gz
