#!/bin/sh
# Runs on the emulated Pi Zero once its start-up is done, beside the client
# that init keeps running: lets it poll, kills it, takes the address away and
# gives it back, then powers the board off. Each step is a line "report: ..."
# on the console, between the client's own lines; every wait is for a
# condition, bounded, and the host judges what the reports say happened.
# Tenths of a second that any one wait may take.
WAIT_LIMIT=300
# Replies that show the client polls: each one follows a line of the one before.
REPLIES=5
# Starts of the client to see while the network is down.
STARTS_DOWN=3

report() { echo "report: $*"; }
client() { pidof poll-client; }
replies() { awk '/^Udp:/ && n++ { print $2 }' /proc/net/snmp; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }

# wait_for CMD..: runs CMD every tenth of a second until it succeeds, or
# reports that it did not.
wait_for() {
	n=$WAIT_LIMIT
	until "$@"; do
		n=$((n - 1))
		[ $n -gt 0 ] || { report "timed out: $*"; return 1; }
		sleep 0.1
	done
}
running() { [ -n "$(client)" ]; }
polling_since() { [ "$(replies)" -ge $(($1 + REPLIES)) ]; }
another_client() { [ -n "$(client)" ] && [ "$(client)" != "$1" ]; }
# The inittab line's shell, in its pause before each start of the client.
# (BusyBox here has no pgrep.)
respawner() {
	for d in /proc/[0-9]*; do
		case $(tr '\0' ' ' 2>/dev/null <"$d/cmdline") in
		*"sleep 2; exec /usr/bin/poll-client"*) echo "${d#/proc/}" && return ;;
		esac
	done
}
# starts_seen: notes each new respawn with its time; true after STARTS_DOWN.
starts_seen() {
	r=$(respawner)
	if [ -n "$r" ] && [ "$r" != "$last" ]; then
		last=$r
		seen=$((seen + 1))
		report "start $seen at $(uptime_s)"
	fi
	[ $seen -ge $STARTS_DOWN ]
}

wait_for running
report "client $(client)"
wait_for polling_since 0
pid=$(client)
report "peak memory $(sed -n 's/^VmHWM: *//p' "/proc/$pid/status")"
kill -KILL "$pid"
report "killed $pid"
base=$(replies)
wait_for another_client "$pid" && wait_for polling_since "$base"
report "client after the kill $(client)"
address=$(cat /etc/board-address)
ip addr flush dev usb0
report "address flushed"
last="" seen=0
wait_for starts_seen
ip addr add "$address" broadcast + dev usb0
report "address restored"
wait_for running
base=$(replies)
wait_for polling_since "$base"
report "client at the end $(client)"
report "done"
poweroff -f
