#!/bin/bash
# The universal ARM binary from the tarball on an emulated Raspberry Pi Zero
# (ARM1176; Debian's Pi kernel) under BusyBox init, from the README's inittab
# line: the lab's boards' lines, a new client after a kill, musl's reason
# while the address is gone, restarts no faster than the line's pause, and
# lines again. Needs DIST_DIR and the musl tree's LIBC_REASON.
source "$(dirname "$0")/lib.sh"
SRC=$T_HERE/..
PORT=5000
# Seconds that one boot may take, its test included (about 25 s).
BOOT_LIMIT_S=90
# Seconds that the board may take to power off after its test.
POWER_OFF_LIMIT_S=20
# Seconds of a silent console that show a stalled board.
STALL_LIMIT_S=40
# The inittab line pauses 2 s before each start of the client; the board
# sees a start only at its next scan of /proc, tenths of a second late (1.89 s
# was seen), and a line without the pause starts it again at once.
RESPAWN_PAUSE_S=1.5

# Set up on the host's network, then the rest inside a lab of two boards.
if [ -z "${LAB_CLIENT_NS:-}" ]; then
	tarball=$(ls "$DIST_DIR"/poll-client-*-linux-arm.tar.gz 2>/dev/null)
	[ -n "$tarball" ] || t_skip_or_fail "no ARM tarball in $DIST_DIR (run ./scripts/package.sh)"
	t_need vm qemu-system-arm dtc bsdtar
	PIZERO_PARTS=$("$SRC/board-vm/pizero-image.sh") || t_skip_or_fail "no Pi Zero parts (above)"
	export PIZERO_PARTS TARBALL=$tarball
	t_enter_lab 2
fi

line=$(grep -m 1 '^::respawn:' "$SRC/README.md")
t_eq "the README's inittab line is the tarball's" "$(tar -xzOf "$TARBALL" --wildcards '*/INSTALL' |
	grep '^::respawn:')" "$line"
tar -xzf "$TARBALL" -C "$T_DIR"
source "$SRC/board-vm/board-vm.sh"
# Paced, so that the serial console keeps up with every line.
t_board 1 $PORT /dev/null --name north --distance 1.5 --delay 100
t_board 2 $PORT /dev/null --name east --distance 2.25 --delay 100
T_SNIFF_LIMIT_S=$((2 * BOOT_LIMIT_S + 10)) t_sniff 1 "$T_DIR/requests.pcap" udp dst port $PORT
# The kernel has been seen to stall under qemu's raspi0 when the host is
# busy: wholly (a silent console for STALL_LIMIT_S; the client prints or
# fails every 2 s while it runs), or with its timers alone, the client still
# printing while the test's waits never end. The host ends a board that is
# done, and boots once more one that is not done in BOOT_LIMIT_S, saying so.
log=$T_DIR/serial.log
done_reported() { [ "$(t_report "$log" "done" | wc -l)" -gt 0 ]; }
stalled() { [ $(($(date +%s) - $(stat -c %Y "$log"))) -ge $STALL_LIMIT_S ]; }
settled() { done_reported || ! kill -0 "$BOARD_VM_PID" || stalled; }
for boot in 1 2; do
	started=$SECONDS
	pizero_boot "$PIZERO_PARTS" "$line" "$T_DIR"/poll-client-*/poll-client "$T_DIR" $BOOT_LIMIT_S ||
		t_fail "cannot boot the Pi Zero"
	wait_for $BOOT_LIMIT_S settled
	done_reported || [ $boot = 2 ] || {
		echo "pizero: the board did not finish (stalled or out of time) after: $(tail -n 1 "$log"); booting it once more"
		kill -TERM "$BOARD_VM_PID" 2>/dev/null
		t_wait_exit 10 "$BOARD_VM_PID"
		continue
	}
	break
done
t_wait_exit $POWER_OFF_LIMIT_S "$BOARD_VM_PID"
echo "pizero: ended after $((SECONDS - started)) s, status $T_STATUS"
console=$(tr -d '\r' <"$log")
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
hwm=$(t_report "$log" 'peak memory' | awk '{ print $1, $2 }')
echo "pizero: peak memory of the client (VmHWM): $hwm"
t_match "peak memory reported" "$hwm" "^[0-9]+ kB$"

kill -INT "$T_SNIFFER"
t_wait_exit 5 "$T_SNIFFER"
t_eq "the boards see DATA\\n broadcast from the board's address" \
	"$(t_payloads "$T_DIR/requests.pcap" | cut -d' ' -f2- | sed 's/^\([0-9.]*\):[0-9]*/\1/' | sort -u)" \
	"$LAB_CLIENT_IP $LAB_BROADCAST:$PORT DATA\\n"

t_finish
