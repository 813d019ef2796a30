#!/bin/sh
# Runs on the emulated Pi Zero once its start-up is done, beside the client
# that init keeps running: lets it poll, kills it, takes the address away and
# gives it back, then powers the board off. Each step is a line "report: ..."
# on the console, between the client's own lines.
report() { echo "report: $*"; }
client() { pidof poll-client; }

n=150
while [ -z "$(client)" ] && [ $n -gt 0 ]; do
	n=$((n - 1))
	sleep 0.1
done
report "client $(client)"
sleep 4
pid=$(client)
report "peak memory $(sed -n 's/^VmHWM: *//p' "/proc/$pid/status")"
kill -KILL "$pid"
report "killed $pid"
sleep 5
report "client after the kill $(client)"
ip addr flush dev usb0
report "address flushed"
sleep 7
ip addr add 10.3.52.10/24 broadcast 10.3.52.255 dev usb0
report "address restored"
sleep 5
report "client at the end $(client)"
report done
poweroff -f
