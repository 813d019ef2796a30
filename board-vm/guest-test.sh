#!/bin/sh
# Runs on the emulated board as root, from the host's payload disk, with its
# settings (BOARDS, PORT, FLOOD_PORT, FLOOD_S, FLOOD_REQUESTS, BROKER_IP,
# BROKER_CLIENT, ADDRESS) and the broker's credential (mqtt) beside it: each finding is a line of its report on the virtio console,
# which tests/board_vm_test.sh judges. Each finding that a wait proved is
# reported from the read that proved it: a journal read again may miss what
# the first saw (journald may be growing its file at that moment). Atime
# updates are left out of the writes counted: they come from the image's age.
set -u
. /mnt/payload/settings.sh
WAIT_STEP_S=0.25
. /mnt/payload/common.sh
unit=poll-client@$PORT.service
flood=poll-client@$FLOOD_PORT.service
lines_unit=poll-client-lines@$FLOOD_PORT.service
# Seconds that the events of every board may take to come.
EVENTS_LIMIT_S=60
# Seconds that systemd may take to start the client three times while it
# fails, and to record the stop at the purge: a bound on a hang (each
# restart took 6 s beside two busy loops).
RESTARTS_LIMIT_S=90
# Seconds that the flood may take to send FLOOD_REQUESTS: a bound on a hang.
FLOOD_LIMIT_S=600
# What the waits read: each unit's messages as journald takes them, written
# by one follower each, so that a try of a wait is a grep, not a journalctl
# of its own (a second of emulation each).
unit_log=/tmp/unit.log
flood_log=/tmp/flood.log

uptime_s() { cut -d' ' -f1 /proc/uptime; }
# mark STEP: when STEP began, in seconds since power-on.
mark() { report "at $1" "$(uptime_s)"; }
# follow UNIT FILE [MATCH..]: from now on, the messages of UNIT in the system
# journal (those that match MATCH, journalctl's field matches), appended to
# FILE, each as "[MONOTONIC] HOST IDENTIFIER: TEXT" ("...: EVENT BOARD
# DISTANCE [SECONDS]" for an event).
follow() {
	_unit=$1 _file=$2
	shift 2
	journalctl -f -q -o short-monotonic --since "@$(date +%s)" -u "$_unit" "$@" >"$_file" &
}
# since LINE FILE: FILE's lines from line LINE on.
since() { tail -n +"$1" "$2"; }
# line_after FILE: the number of the line that FILE's next line will have.
line_after() { echo $(($(wc -l <"$1") + 1)); }
# near_counts LINE: "BOARD COUNT" for each board of the unit, its near events
# from line LINE of its log on.
near_counts() {
	for b in $BOARDS; do
		echo "$b $(since "$1" "$unit_log" | grep -c "]: near $b ")"
	done
}
# every_board_since LINE: true once every board has come near from line LINE
# of the unit's log on; the counts of its last read stay in /tmp/counts, to
# be reported as read.
every_board_since() { near_counts "$1" >/tmp/counts && ! grep -q ' 0$' /tmp/counts; }
# restarted_since LINE: true once systemd has scheduled three restarts of the
# unit from line LINE of its log on; those lines, as read, stay in /tmp/down.
restarted_since() { since "$1" "$unit_log" >/tmp/down && [ "$(grep -c 'Scheduled restart job' /tmp/down)" -ge 3 ]; }
# stopped_since LINE: true once systemd has recorded the unit's stop, clean or
# failed, from line LINE of its log on; those lines stay in /tmp/stop.
stopped_since() { since "$1" "$unit_log" >/tmp/stop && grep -q -e 'Deactivated successfully' -e 'Failed with result' /tmp/stop; }
# written_kib: KiB written to the root disk since power-on.
written_kib() { awk '$3 == "vda" { print int($10 / 2) }' /proc/diskstats; }
# journal_kib: KiB that the persistent journals (every namespace) take.
journal_kib() { du -sk /var/log/journal | cut -f1; }
# requests: the UDP datagrams that the board has sent, its clients' requests.
requests() { awk '/^Udp:/ && n++ { print $5 }' /proc/net/snmp; }
# cpu_us UNIT..: the CPU time of the units' processes, in microseconds
# (none for a unit that has no processes, and so no cgroup).
cpu_us() {
	for u in "$@"; do
		cg=$(systemctl show -p ControlGroup --value "$u")
		[ -z "$cg" ] || sed -n 's/^usage_usec //p' "/sys/fs/cgroup$cg/cpu.stat"
	done | awk '{ s += $1 } END { print s + 0 }'
}
main_pid() { systemctl show -p MainPID --value "$1"; }

mark start
if apt-get install -y -q /mnt/payload/poll-client_*.deb >/tmp/apt.log 2>&1; then
	report install ok
else
	report install failed
	sed 's/^/apt: /' /tmp/apt.log
fi

mark enable
# The documented drop-in, for this instance: the broker's address, its
# password as systemd's credential, and the address filter opened to it, on
# a subnet of its own.
# The board's one network device, whether or not networkd has given it its
# address yet, once udev has named it: on a slow host this step may come
# before udev's rename of eth0, and the fault would flush a name gone.
udevadm settle
dev=$(ip -o link show | awk -F': ' '$2 != "lo" { print $2; exit }')
ip addr add "$BROKER_CLIENT" dev "$dev"
mkdir -p "/etc/systemd/system/$unit.d"
printf '[Service]\nEnvironment="POLL_EVENTS_MQTT=--mqtt mqtt://%s"\nLoadCredential=mqtt:%s\nIPAddressAllow=%s\n' \
	"$BROKER_IP" /mnt/payload/mqtt "$BROKER_IP" >"/etc/systemd/system/$unit.d/mqtt.conf"
follow "$unit" "$unit_log"
systemctl enable --now "$unit" 2>&1 | sed 's/^/systemctl: /'
wait_for $EVENTS_LIMIT_S every_board_since 1 || report "timed out" "events of every board"
while read -r b n; do report "near $b" "$n"; done </tmp/counts

mark checks
pid=$(main_pid "$unit")
report uid "$(proc_status "$pid" Uid | cut -f1)"
report "peak memory" "$(proc_status "$pid" VmHWM) of poll-events," \
	"$(proc_status "$(pidof -s poll-client)" VmHWM) of a client"
report exposure "$(systemd-analyze security "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')"

mark flood
# The account of the flood opens once its instance runs (its start is
# systemd's few lines) and closes after FLOOD_S.
follow "$flood" "$flood_log" POLL_EVENT=near POLL_EVENT=moved POLL_EVENT=gone
systemctl enable --now "$flood" 2>&1 | sed 's/^/systemctl: /'
mount -o remount,noatime /
sync
# Every journald: the lines' one too, where lines went before events.
units="$unit $flood systemd-journald.service systemd-journald@poll-client.service"
written0=$(written_kib) journal0=$(journal_kib) requests0=$(requests) cpu0=$(cpu_us $units) up0=$(uptime_s)
now=$(uptime_s)
left=$((${up0%.*} + FLOOD_S + 1 - ${now%.*}))
[ $left -le 0 ] || sleep $left
# Then until FLOOD_REQUESTS were sent: a count, which a slow host takes
# longer to reach.
flooded() { [ $(($(requests) - requests0)) -ge "$FLOOD_REQUESTS" ]; }
wait_for $FLOOD_LIMIT_S flooded || report "timed out" "the flood's requests"
sync
report "flood seconds" "$(awk -v a="$up0" -v b="$(uptime_s)" 'BEGIN { printf "%.1f", b - a }')"
report "flood requests" "$(($(requests) - requests0))"
report "flood cpu us" "$(($(cpu_us $units) - cpu0))"
report "flood written kib" "$(($(written_kib) - written0))"
report "flood journal growth kib" "$(($(journal_kib) - journal0))"
# The events as the account closed: the stop makes every near board gone.
sed 's/^[^]]*] [^:]*: /flood event: /' "$flood_log"
# No reload: the upgrade's own reloads systemd, and until then a unit that
# stays stopped needs none.
systemctl disable --now --no-reload "$flood" 2>/dev/null
report "raw lines in the system journal" "$(journalctl -q -o cat | grep -c '^Object is detected')"

mark fault
# The network goes away: the client's next send fails, it ends with status 1,
# and systemd starts it again and again until the address is back.
from=$(line_after "$unit_log")
ip addr flush dev "$dev"
report "address flushed" "$ADDRESS on $dev"
wait_for $RESTARTS_LIMIT_S restarted_since "$from"
report "restarts while down" "$(grep -c 'Scheduled restart job' /tmp/down)"
# systemd's own record: the seconds from each exit to the restart it
# scheduled, which the unit's RestartSec sets.
report "restart delays while down" "$(awk -F'[][]' '/Main process exited/ { exit_at = $2 }
	/Scheduled restart job/ && exit_at != "" { printf "%.2f ", $2 - exit_at; exit_at = "" }' /tmp/down)"
from=$(line_after "$unit_log")
ip addr add "$ADDRESS" broadcast + dev "$dev" 2>/dev/null
ip addr add "$BROKER_CLIENT" dev "$dev"
report "address restored"
wait_for $EVENTS_LIMIT_S every_board_since "$from" || report "timed out" "events of every board after the fault"
while read -r b n; do report "near after the fault $b" "$n"; done </tmp/counts
grep -v -E ']: (near|moved|gone) ' /tmp/down | head -n 20 | sed 's/^/journal: /'

mark lines
# Every line instead of events, one step away: the lines' unit, whose lines
# the documented command reads in memory. It floods; stopped once seen.
systemctl start "$lines_unit"
last_line() {
	journalctl --namespace=+poll-client -q -o cat -u "$lines_unit" -n 1 >/tmp/last_line &&
		grep -q '^Object is detected' /tmp/last_line
}
wait_for $EVENTS_LIMIT_S last_line || report "timed out" "a line of the lines' unit"
report "the lines' unit's last line" "$(cat /tmp/last_line)"
systemctl stop "$lines_unit"

mark upgrade
# The next version (the package rebuilt with a higher one) while the events'
# instance runs: it must run the new binaries after, and the lines' journald
# its new settings.
before="$(main_pid "$unit") $(main_pid systemd-journald@poll-client.service)"
# dpkg alone: apt adds seconds of emulation and nothing here.
dpkg -i /mnt/payload/next/poll-client_*.deb >/tmp/apt.log 2>&1 || sed 's/^/dpkg: /' /tmp/apt.log
report "version after the upgrade" "$(dpkg-query -W -f '${Version}' poll-client)"
report "events and journald before and after the upgrade" \
	"$before $(main_pid "$unit") $(main_pid systemd-journald@poll-client.service)"
report "programs that run a deleted file" "$(for p in $(pidof poll-client poll-events); do
	readlink "/proc/$p/exe"; done | grep -c '(deleted)')"

mark purge
# apt purge removes the package and its configuration at once: its
# removal's stop, then the purge.
from=$(line_after "$unit_log")
apt-get purge -y -q poll-client >/tmp/apt.log 2>&1 || sed 's/^/apt: /' /tmp/apt.log
report "programs after purge" "$(pidof poll-client poll-events | wc -w)"
report "links to the units after purge" "$(find /etc/systemd/system -lname '*/poll-client*@*' | wc -l)"
# systemd's own record of the stop.
wait_for $RESTARTS_LIMIT_S stopped_since "$from" || report "timed out" "the stop's record"
report "stop" "$(grep -c -e 'Deactivated successfully' -e 'Failed with result' /tmp/stop)" \
	"$(grep -c 'Failed with result' /tmp/stop)"

mark poweroff
report "done"
# At once: the overlay is thrown away, and a clean shutdown costs seconds of
# emulation.
systemctl --check-inhibitors=no --no-wall poweroff --force --force
