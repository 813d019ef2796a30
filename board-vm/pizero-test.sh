#!/bin/sh
# Runs on the BusyBox board once init has started it, beside the client that
# init keeps running: lets it poll, kills it, takes the address away and
# gives it back, then powers the board off. Each step is a line of its report
# on the console, between the client's own lines; every wait is for a
# condition, bounded, and the host judges what the reports say happened.
. /etc/common.sh
. /etc/settings.sh
# Seconds that any one wait may take.
WAIT_LIMIT_S=30
# Replies that show the client polls: each one follows a line of the one before.
REPLIES=5
# Starts of the client to see while the network is down.
STARTS_DOWN=3
# The kernel's clock ticks a second, in which /proc/PID/stat gives start times.
TICKS_PER_S=100

client() { pidof poll-client; }
# seen_client: the client that the last wait for one found, as it found it.
seen_client=
replies() { awk '/^Udp:/ && n++ { print $2 }' /proc/net/snmp; }

# wait_until CMD..: waits for CMD to succeed, or reports that it did not.
wait_until() { wait_for $WAIT_LIMIT_S "$@" || { report "timed out" "$*"; return 1; }; }
running() { seen_client=$(client) && [ -n "$seen_client" ]; }
polling_since() { [ "$(replies)" -ge $(($1 + REPLIES)) ]; }
another_client() { running && [ "$seen_client" != "$1" ]; }
# respawner: the inittab line's shell, in its pause before each start of the
# client, as "PID STARTED" (seconds since boot, when the kernel made it).
respawner() {
	for d in /proc/[0-9]*; do
		case $(tr '\0' ' ' 2>/dev/null <"$d/cmdline") in
		*"sleep 2; exec /usr/bin/poll-client"*)
			awk -v t=$TICKS_PER_S '{ printf "%s %.2f\n", $1, $22 / t }' "$d/stat" && return
			;;
		esac
	done
}
# starts_seen: reports each new respawn with the time the kernel made it,
# whenever this scan finds it; true after STARTS_DOWN.
starts_seen() {
	r=$(respawner)
	if [ -n "$r" ] && [ "${r%% *}" != "$last" ]; then
		last=${r%% *}
		seen=$((seen + 1))
		report start "${r#* }"
	fi
	[ $seen -ge $STARTS_DOWN ]
}

wait_until running
report client "$seen_client"
wait_until polling_since 0
pid=$(client)
kill -KILL "$pid"
report killed "$pid"
base=$(replies)
wait_until another_client "$pid" && wait_until polling_since "$base"
report "client after the kill" "$seen_client"
ip addr flush dev "$DEV"
report "address flushed"
last="" seen=0
wait_until starts_seen
ip addr add "$ADDRESS" broadcast + dev "$DEV"
report "address restored"
wait_until running
base=$(replies)
wait_until polling_since "$base"
report "client at the end" "$seen_client"
report "done"
poweroff -f
