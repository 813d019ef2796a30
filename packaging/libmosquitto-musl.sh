#!/bin/bash
# libmosquitto-musl.sh TRIPLET: prints the folder of a static libmosquitto
# for musl on TRIPLET (arm-linux-gnueabi, aarch64-linux-gnu), for the static
# poll-events: include/, lib/libmosquitto.a, version (the source's Debian
# version) and copyright (Debian's copyright file of mosquitto). Made first
# if the cache has none for this recipe, from Debian's own source package of
# the version that libmosquitto-dev has here, with the cross compiler and
# Debian's musl-dev; without TLS, as no static TLS library is at hand.
# Runs as any user: the source comes through apt's own tools, with lists
# and a cache of its own that go with the making.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

say() { echo "libmosquitto-musl: $*" >&2; }

# The library alone: no broker, clients, plugins, C++ or documentation.
# Threading stays on, as Debian builds it: poll-events' MQTT has a thread.
MOSQUITTO_OPTIONS=(-DWITH_STATIC_LIBRARIES=ON -DWITH_TLS=OFF -DWITH_TLS_PSK=OFF -DWITH_CJSON=OFF
	-DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DWITH_PLUGINS=OFF -DWITH_LIB_CPP=OFF
	-DDOCUMENTATION=OFF -DWITH_SRV=OFF -DWITH_THREADING=ON)

triplet=${1:?usage: libmosquitto-musl.sh TRIPLET}
musl_triplet=${triplet/-gnu/-musl}
specs=/usr/lib/$musl_triplet/musl-gcc.specs
if [ "${2:-}" != --make ]; then
	version=$(dpkg-query -W -f '${source:Version}' "libmosquitto-dev:$(dpkg --print-architecture)" 2>/dev/null) ||
		{ say "no libmosquitto-dev here, whose version to build (sudo ./scripts/install-deps.sh package)"; exit 1; }
	[ -e "$specs" ] || { say "no musl for $triplet: $specs is missing (musl-dev)"; exit 1; }
	# The key: this recipe, the source's version, the compiler's and musl's.
	exec "$here/../tests/tools/cache.sh" "libmosquitto-$musl_triplet" "$0" "$specs" -- \
		"$0" "$triplet" --make "$version" "$("$triplet-gcc" -dumpfullversion)" \
		"$(dpkg-query -S "$specs" | cut -d: -f1,2)"
fi
version=$3 out=${*: -1}
work=$out/work
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts"

# Debian's sources, as this machine's apt has them, for source packages.
for f in /etc/apt/sources.list.d/*.sources; do
	[ -e "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$work/parts/$(basename "$f")"
done
{ cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
	sed -n 's/^deb[[:space:]]/deb-src /p' >"$work/parts/lines.list"
apt=(apt-get -q -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/parts"
	-o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" -o Debug::NoLocking=1)
say "fetching Debian's source of mosquitto $version"
"${apt[@]}" update >"$work/apt.log" 2>&1 &&
	(cd "$work" && "${apt[@]}" source "mosquitto=$version") >>"$work/apt.log" 2>&1 || {
	sed 's/^/libmosquitto-musl:   /' "$work/apt.log" >&2
	say "cannot fetch the source of mosquitto $version from the Debian archive" \
		"$("$here/../tests/tools/debian-mirror.sh" 2>/dev/null)"
	exit 1
}
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'mosquitto-*')

say "building its static library for $musl_triplet"
CFLAGS="-specs=$specs -O2" cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=None \
	-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_C_COMPILER="$triplet-gcc" -DCMAKE_CXX_COMPILER="$triplet-g++" \
	"${MOSQUITTO_OPTIONS[@]}" >"$work/build.log" 2>&1 &&
	cmake --build "$work/build" --target libmosquitto_static -j "$(nproc)" >>"$work/build.log" 2>&1 || {
	tail -n 30 "$work/build.log" >&2
	say "the build failed"
	exit 1
}
mkdir -p "$out/include" "$out/lib"
cp "$src/include/mosquitto.h" "$src/include/mqtt_protocol.h" "$out/include/"
cp "$work/build/lib/libmosquitto_static.a" "$out/lib/libmosquitto.a"
cp "$src/debian/copyright" "$out/copyright"
echo "$version" >"$out/version"
rm -rf "$work"
