#!/bin/bash
# The Debian package of this build tree: metadata and contents, and, for the
# build machine's own architecture, the unpacked binary working in the lab.
# Needs BUILD_DIR, DEB_ARCH; POLL_CLIENT_EMULATOR for a foreign architecture.
source "$(dirname "$0")/lib.sh"
command -v cpack >/dev/null && command -v dpkg-deb >/dev/null || t_skip_or_fail "cpack or dpkg-deb not found"

cpack --config "$BUILD_DIR/CPackConfig.cmake" -B "$T_DIR/pkg" >"$T_DIR/cpack.log" 2>&1 ||
	{ cat "$T_DIR/cpack.log" >&2; t_fail "cpack"; t_finish; }
deb=$(ls "$T_DIR"/pkg/poll-client_*_"$DEB_ARCH".deb 2>/dev/null)
t_match "package file for $DEB_ARCH" "$deb" "poll-client_[0-9.]+_$DEB_ARCH\\.deb$"

info=$(dpkg-deb --info "$deb")
field() { printf '%s\n' "$info" | sed -n "s/^ $1: //p"; }
t_eq "Package" "$(field Package)" poll-client
t_eq "Architecture" "$(field Architecture)" "$DEB_ARCH"
t_match "Depends: the C library, by version" "$(field Depends)" "^libc6 \\(>= 2\\.[0-9]+\\)$"
t_match "Description" "$(field Description)" "^polls sensor boards"

contents=$(dpkg-deb --contents "$deb" | awk '{ print $6 }' | sort)
for f in ./usr/bin/poll-client ./usr/bin/board-sim ./usr/share/man/man1/poll-client.1 \
	./usr/share/man/man1/board-sim.1; do
	t_eq "contains $f" "$(printf '%s\n' "$contents" | grep -cx -- "$f")" 1
done
t_eq "nothing outside /usr" "$(printf '%s\n' "$contents" | grep -v '^\./usr/' | grep -vc '^\./$')" 0

root="$T_DIR/root"
dpkg -x "$deb" "$root"
t_eq "unpacked binary is stripped" "$(file "$root/usr/bin/poll-client" | grep -c 'not stripped')" 0
POLL_CLIENT="$root/usr/bin/poll-client"

# The unpacked client against a board in the lab.
t_lab_up 1
t_board 1 5000 /dev/null --name pkg --distance 2.5 --count 1
board=$T_BOARD
t_client 5000 >"$T_DIR/out" 2>&1 &
client=$!
t_wait_exit 20 $board
kill -INT $client
t_wait_exit 5 $client
t_eq "unpacked client detects in the lab" "$(cat "$T_DIR/out")" \
	"Object is detected 2.500000 meters away from board pkg."

t_finish
