#!/bin/bash
# The Debian packages of one architecture, as ./scripts/package.sh leaves them
# in dist/: Debian's own checker, what dpkg-shlibdeps made of the needs, the
# version and the unit's exposure. How they work once installed is
# debian/tests' part (run by the autopkgtest test). On armhf also
# poll-client-static, whose universal binary runs on an ARM1176 (ARMv6) in the
# lab, and the tarball of that binary; on arm64 the tarball's static binary.
# Needs DIST_DIR, DEB_ARCH.
T_LAB=1
source "$(dirname "$0")/lib.sh"
for tool in dpkg-deb lintian systemd-analyze; do
	command -v $tool >/dev/null || t_skip_or_fail "$tool not found"
done
client_deb=$(ls "$DIST_DIR"/poll-client_*_"$DEB_ARCH".deb 2>/dev/null)
sim_deb=$(ls "$DIST_DIR"/board-sim_*_"$DEB_ARCH".deb 2>/dev/null)
[ -n "$client_deb" ] && [ -n "$sim_deb" ] || t_skip_or_fail "no $DEB_ARCH packages in $DIST_DIR (run ./scripts/package.sh)"
t_eq "the client needs the C library alone" "$(dpkg-deb -f "$client_deb" Depends | sed 's/ (.*//')" libc6

for deb in "$client_deb" "$sim_deb"; do
	name=$(basename "$deb")
	t_eq "$name: lintian reports nothing" "$(lintian --tag-display-limit 0 "$deb" 2>&1 |
		grep -v 'running with root privileges')" ""
	t_match "$name: Depends names the C library" "$(dpkg-deb -f "$deb" Depends)" "(^|, )libc6 \\(>= 2\\.[0-9]+\\)"
done

t_eq "version as the build's" "$(dpkg-deb -f "$client_deb" Version)" \
	"$(sed -n 's/^project(poll-client VERSION \([0-9.]*\).*/\1/p' "$T_HERE/../CMakeLists.txt")"

root="$T_DIR/root"
dpkg -x "$client_deb" "$root"

exposure=$(systemd-analyze security --offline=true --root="$root" poll-client@5000.service 2>&1 |
	sed -n 's/.*Overall exposure level for poll-client@5000.service: \([0-9.]*\).*/\1/p')
t_between "security exposure at most 1.5" "$exposure" 0 1.5

# on_cpu QEMU CPU PROGRAM: prints the path of a script that runs PROGRAM on
# CPU under qemu-user, for t_poll.
on_cpu() {
	printf '#!/bin/sh\nexec %s -cpu %s %s "$@"\n' "$1" "$2" "$3" >"$T_DIR/on-$2"
	chmod +x "$T_DIR/on-$2"
	echo "$T_DIR/on-$2"
}

# For armhf systems on ARMv6 CPUs: the universal binary, in place of the client.
if [ "$DEB_ARCH" = armhf ]; then
	static_deb=$(ls "$DIST_DIR"/poll-client-static_*_armhf.deb 2>/dev/null)
	t_eq "poll-client-static: lintian reports nothing" "$(lintian --tag-display-limit 0 "$static_deb" 2>&1 |
		grep -v 'running with root privileges')" ""
	dpkg -x "$static_deb" "$T_DIR/static"
	static=$T_DIR/static/usr/bin/poll-client
	t_eq "poll-client-static: ARMv5TE code, nothing needed" \
		"$(readelf -A "$static" | grep -E 'Tag_CPU_arch:|Tag_FP_arch'; readelf -d "$static" | grep -c NEEDED)" \
		"  Tag_CPU_arch: v5TE
0"
	POLL_CLIENT=$(on_cpu qemu-arm arm1176 "$static") t_poll 5000 /dev/null --name pkg --distance 2.5 --count 1
	t_eq "poll-client-static on an ARM1176 detects in the lab" "$(cat "$T_DIR/out" "$T_DIR/err")" \
		"Object is detected 2.500000 meters away from board pkg."
	tarball=$(ls "$DIST_DIR"/poll-client-*-linux-arm.tar.gz 2>/dev/null)
	t_eq "the tarball's binary is the static package's" \
		"$(tar -xzOf "$tarball" --wildcards '*/poll-client' | cmp - "$static" && echo same)" same
fi

# For arm64 systems without Debian's C library: the tarball's static binary.
if [ "$DEB_ARCH" = arm64 ]; then
	tarball=$(ls "$DIST_DIR"/poll-client-*-linux-arm64.tar.gz 2>/dev/null)
	tar -xzf "$tarball" -C "$T_DIR"
	static=$(echo "$T_DIR"/poll-client-*-linux-arm64/poll-client)
	t_eq "the arm64 tarball's binary: nothing needed" "$(readelf -d "$static" | grep -c NEEDED)" 0
	t_between "the arm64 tarball's binary: code and data within 64 KiB" \
		"$(aarch64-linux-gnu-size "$static" | awk 'NR == 2 { print $1 + $2 }')" 1 65536
	t_eq "the arm64 tarball's binary: segments aligned for 64 KiB pages" \
		"$(readelf -lW "$static" | awk '$1 == "LOAD" { print $NF }' | sort -u)" 0x10000
	POLL_CLIENT=$(on_cpu qemu-aarch64 cortex-a53 "$static") t_poll 5000 /dev/null --name pkg --distance 2.5 --count 1
	t_eq "the arm64 tarball's binary on a Cortex-A53 detects in the lab" "$(cat "$T_DIR/out" "$T_DIR/err")" \
		"Object is detected 2.500000 meters away from board pkg."
fi

t_finish
