#!/bin/bash
# What ./scripts/package.sh left in dist/, for every architecture: each
# client needs Debian's C library alone, and says so through dpkg-shlibdeps;
# the static binaries need nothing and are the CPU level and layout they are
# for; the version is the build's; a second build gives the same bytes.
# Needs DIST_DIR.
source "$(dirname "$0")/lib.sh"
SRC=$T_HERE/..
ARCHES="amd64 armhf armel arm64"
# The architectures whose poll-events links Debian's libmosquitto; armel's
# cannot be installed beside the build machine's own (scripts/install-deps.sh),
# so its poll-events is the static universal one.
MQTT_ARCHES="amd64 armhf arm64"
command -v dpkg-deb >/dev/null || t_skip_or_fail "dpkg-deb not found"
version=$(sed -n 's/^project(poll-client VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
[ -n "$(ls "$DIST_DIR"/*.deb 2>/dev/null)" ] || t_skip_or_fail "no packages in $DIST_DIR (run ./scripts/package.sh)"

# needed FILE: the shared libraries that the program FILE needs, on one line,
# but the C library's loader (on ARM the stack protector's guard is there).
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v '^ld-linux' | tr '\n' ' '; }

for arch in $ARCHES; do
	deb=$DIST_DIR/poll-client_${version}_$arch.deb
	[ -f "$deb" ] || { t_fail "$arch: no $deb"; continue; }
	dpkg-deb -x "$deb" "$T_DIR/$arch"
	file=$T_DIR/$arch/usr/bin/poll-client
	t_eq "$arch: the client needs the C library alone" "$(needed "$file")" "libc.so.6 "
	t_eq "$arch: every symbol it imports is the C library's" \
		"$(nm -D --undefined-only "$file" | grep -v -E '@GLIBC_|^ +w ')" ""
	mqtt=""
	[[ " $MQTT_ARCHES " != *" $arch "* ]] || mqtt="libmosquitto.so.1 "
	[ "$arch" = armel ] ||
		t_eq "$arch: poll-events needs the C library${mqtt:+ and libmosquitto}" \
			"$(needed "$T_DIR/$arch/usr/bin/poll-events")" "${mqtt}libc.so.6 "
	t_match "$arch: Depends is libc6${mqtt:+ and libmosquitto1}, versioned by dpkg-shlibdeps" \
		"$(dpkg-deb -f "$deb" Depends)" "^libc6 \\(>= 2\\.[0-9]+\\)${mqtt:+, libmosquitto1 \\(>= [0-9.]+\\)}$"
	t_match "$arch: board-sim's Depends from dpkg-shlibdeps" \
		"$(dpkg-deb -f "$DIST_DIR/board-sim_${version}_$arch.deb" Depends)" "(^|, )libc6 \\(>= 2\\.[0-9]+\\)"
	t_eq "$arch: the package's version is the build's" "$(dpkg-deb -f "$deb" Version)" "$version"
done

# For armhf systems on ARMv6 CPUs: the universal binary, which the ARM
# tarball holds too.
dpkg-deb -x "$DIST_DIR/poll-client-static_${version}_armhf.deb" "$T_DIR/static"
static=$T_DIR/static/usr/bin/poll-client
for program in poll-client poll-events; do
	t_eq "poll-client-static: $program, ARMv5TE code, nothing needed" \
		"$(readelf -A "$T_DIR/static/usr/bin/$program" | grep -E 'Tag_CPU_arch:|Tag_FP_arch'
			needed "$T_DIR/static/usr/bin/$program")" "  Tag_CPU_arch: v5TE"
done
t_eq "the ARM tarball's binary is the static package's" \
	"$(tar -xzOf "$DIST_DIR/poll-client-$version-linux-arm.tar.gz" --wildcards '*/poll-client' |
		cmp - "$static" && echo same)" same
t_eq "armel's poll-events is the universal one, whose MQTT its lab row proves" \
	"$(cmp "$T_DIR/armel/usr/bin/poll-events" "$T_DIR/static/usr/bin/poll-events" && echo same)" same
for deb in poll-client-static_${version}_armhf poll-client_${version}_armel; do
	t_match "$deb: Built-Using names the static code's sources" \
		"$(dpkg-deb -f "$DIST_DIR/$deb.deb" Built-Using)" '^mosquitto \(= [^)]+\), musl \(= [^)]+\)$'
done

# The licences that the static binaries owe: ours, and musl's and
# libmosquitto's, whose code they hold, as Debian ships them.
for tarball in "$DIST_DIR"/poll-client-"$version"-linux-*.tar.gz; do
	t_eq "$(basename "$tarball"): our licence, musl's and mosquitto's" \
		"$(tar -xzOf "$tarball" --wildcards '*/LICENSE' | cmp - "$SRC/LICENSE" && echo ours
			tar -xzOf "$tarball" --wildcards '*/COPYRIGHT.musl' | cmp - /usr/share/doc/musl-dev/copyright && echo musl
			tar -xzOf "$tarball" --wildcards '*/COPYRIGHT.mosquitto' |
				cmp - /usr/share/doc/libmosquitto-dev/copyright && echo mosquitto)" \
		"$(printf 'ours\nmusl\nmosquitto')"
done
for copyright in static/usr/share/doc/poll-client-static armel/usr/share/doc/poll-client; do
	t_match "${copyright##*/} ${copyright%%/*}: its copyright names musl's and mosquitto's licences" \
		"$(tr '\n' ' ' <"$T_DIR/$copyright/copyright")" \
		'Files: musl/\* .*License: MIT .*Permission is hereby granted.*Files: mosquitto/\* .*License: EPL-2.0 or EDL-1.0 .*License: EDL-1.0 .*License: EPL-2.0 '
done

# For arm64 systems without Debian's C library: the tarball's static binary.
tar -xzf "$DIST_DIR/poll-client-$version-linux-arm64.tar.gz" -C "$T_DIR"
static=$T_DIR/poll-client-$version-linux-arm64/poll-client
t_eq "the arm64 tarball's binary: nothing needed" "$(needed "$static")" ""
t_between "the arm64 tarball's binary: code and data within 64 KiB" \
	"$(aarch64-linux-gnu-size "$static" | awk 'NR == 2 { print $1 + $2 }')" 1 65536
t_eq "the arm64 tarball's binary: segments aligned for 64 KiB pages" \
	"$(readelf -lW "$static" | awk '$1 == "LOAD" { print $NF }' | sort -u)" 0x10000

# Reproducible: the native packages built again from a copy of the source in
# another folder, a while later, are the same files.
mkdir -p "$T_DIR/again/poll-client-$version"
git -C "$SRC" ls-files -z | tar -c -C "$SRC" --null -T - | tar -x -C "$T_DIR/again/poll-client-$version"
(cd "$T_DIR/again/poll-client-$version" && dpkg-buildpackage -b -us -uc -d) >"$T_DIR/again.log" 2>&1 ||
	tail -n 20 "$T_DIR/again.log" >&2
arch=$(dpkg --print-architecture)
for name in poll-client board-sim; do
	t_eq "$name ($arch) built again: the same bytes" \
		"$(cmp "$T_DIR/again/${name}_${version}_$arch.deb" "$DIST_DIR/${name}_${version}_$arch.deb" && echo same)" same
done

t_finish
