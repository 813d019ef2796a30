#!/bin/bash
# The universal ARM binary from the tarball on a BusyBox board, from the
# README's inittab line: BusyBox's own init as PID 1 of the lab's client
# host, and the client on a Pi Zero's ARM1176 through qemu-user. The lab's
# boards' lines, a new client after a kill, musl's reason while the address
# is gone, restarts no faster than the line's pause, and lines again. Needs
# DIST_DIR and the musl tree's LIBC_REASON.
source "$(dirname "$0")/lib.sh"
SRC=$T_HERE/..
PORT=5000
# The Pi Zero's CPU, for qemu-user.
BOARD_CPU=arm1176
# Seconds that the board's whole test may take (about 12 s; each of its
# waits is bounded by 30 s).
RUN_LIMIT_S=180
# The inittab line pauses 2 s before each start of the client; the board
# reports each start as the kernel's start time of the line's shell, in
# hundredths of a second. A line without the pause starts it again at once.
RESPAWN_PAUSE_S=1.95

# Set up on the host's network, then the rest inside a lab of two boards.
if [ -z "${LAB_CLIENT_NS:-}" ]; then
	tarball=$(ls "$DIST_DIR"/poll-client-*-linux-arm.tar.gz 2>/dev/null)
	[ -n "$tarball" ] || t_skip_or_fail "no ARM tarball in $DIST_DIR (run ./scripts/package.sh)"
	BUSYBOX=$("$SRC/board-vm/busybox.sh") || t_skip_or_fail "no static BusyBox (above)"
	export BUSYBOX TARBALL=$tarball
	t_enter_lab 2
fi

line=$(grep -m 1 '^::respawn:' "$SRC/README.md")
t_eq "the README's inittab line is the tarball's" "$(tar -xzOf "$TARBALL" --wildcards '*/INSTALL' |
	grep -m 1 '^::respawn:')" "$line"

# The board's root: BusyBox with its applets, the tarball's binary as the
# README installs it, the board's test, and init's table.
root=$T_DIR/root
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,etc,proc,dev}
# The board's /dev/null is the host's, bound in the lab's own mount namespace.
touch "$root/dev/null" && mount --bind /dev/null "$root/dev/null" || t_fail "cannot give the board /dev/null"
cp "$BUSYBOX" "$root/bin/busybox"
"$BUSYBOX" --list-full | grep -v -x bin/busybox | while read -r applet; do ln -s /bin/busybox "$root/$applet"; done
tar -xzOf "$TARBALL" --wildcards '*/poll-client' >"$root/usr/bin/poll-client"
chmod 755 "$root/usr/bin/poll-client"
cp "$SRC/board-vm/pizero-test.sh" "$SRC/lab/common.sh" "$root/etc/"
printf 'ADDRESS=%s/%s\nDEV=eth0\n' "$LAB_CLIENT_IP" "$LAB_PREFIX_LEN" >"$root/etc/settings.sh"
printf '%s\n::once:/bin/sh /etc/pizero-test.sh\n' "$line" >"$root/etc/inittab"

# Paced, so that a line comes every tenth of a second at most.
t_board 1 $PORT /dev/null --name north --distance 1.5 --delay 100
t_board 2 $PORT /dev/null --name east --distance 2.25 --delay 100
T_SNIFF_LIMIT_S=$((RUN_LIMIT_S + 10)) t_sniff 1 "$T_DIR/requests.pcap" udp dst port $PORT
log=$T_DIR/console.log
started=$SECONDS
# The ARM binary runs through binfmt_misc's qemu-user, which takes the CPU
# from QEMU_CPU; init passes its environment on.
"$LAB" client env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin QEMU_CPU=$BOARD_CPU unshare --pid --fork --kill-child --mount-proc="$root/proc" \
	chroot "$root" /bin/busybox init </dev/null >"$log" 2>&1 &
board=$!
t_wait_exit $RUN_LIMIT_S $board
echo "pizero: ended after $((SECONDS - started)) s, status $T_STATUS"
console=$(cat "$log")
printf '%s\n' "$console" | grep -v '^Object is detected' | head -n 40
t_eq "the board finished its test" "$(t_report "$log" "done" | wc -l)" 1
t_eq "no wait of the board's timed out" "$(t_report "$log" 'timed out')" ""

# part FROM TO: the console's lines between two of the board's reports.
part() { printf '%s\n' "$console" | sed -n "/^report: $1:/,/^report: $2:/p" | grep -v '^report: '; }
# lines_of FROM TO: the detection lines between two reports, of the lab's boards.
lines_of() { part "$1" "$2" | detections | grep -c -x -e "north 1.500000" -e "east 2.250000"; }
t_eq "every detection line of the lab's boards, exact" \
	"$(printf '%s\n' "$console" | grep '^Object' | detections | sort -u)" "$(printf 'east 2.250000\nnorth 1.500000')"
t_eq "every line that begins as a detection line is one" "$(printf '%s\n' "$console" | grep -c '^Object')" \
	"$(printf '%s\n' "$console" | detections | wc -l)"
t_match "init starts it again after the kill" "$(t_report "$log" 'client after the kill')" "^[0-9]+$"
[ "$(t_report "$log" 'client after the kill')" != "$(t_report "$log" killed)" ] ||
	t_fail "the client after the kill is the killed one"
t_between "lines resume after the kill" "$(lines_of killed 'address flushed')" 1 100000
reason=$(t_reason 101)
t_between "with no address: 'Sendto: $reason' at each start" \
	"$(part 'address flushed' 'address restored' | grep -c -x "Sendto: $reason")" 2 100
down=$(part 'address flushed' 'address restored' | grep -v -x "Sendto: $reason")
t_eq "nothing else printed while down" "$(printf '%s\n' "$down" | grep -c .)" \
	"$(printf '%s\n' "$down" | detections | grep -c .)"
t_eq "init started it again and again while down" "$(t_report "$log" start | grep -c .)" 3
t_between "no faster than the line's pause: the shortest time between starts" \
	"$(t_report "$log" start | awk 'NR > 1 { d = $1 - t; if (m == "" || d < m) m = d } { t = $1 } END { print m }')" \
	$RESPAWN_PAUSE_S 60
t_between "lines resume once the address is back" "$(lines_of 'address restored' 'client at the end')" 1 100000

kill -INT "$T_SNIFFER"
t_wait_exit 5 "$T_SNIFFER"
t_eq "the boards see DATA\\n broadcast from the board's address" \
	"$(t_payloads "$T_DIR/requests.pcap" | cut -d' ' -f2- | sed 's/^\([0-9.]*\):[0-9]*/\1/' | sort -u)" \
	"$LAB_CLIENT_IP $LAB_BROADCAST:$PORT DATA\\n"

t_finish
