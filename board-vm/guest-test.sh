#!/bin/sh
# Runs on the emulated board as root, from the host's payload disk, with its
# settings (BOARDS, PORT, FLOOD_PORT, FLOOD_S, ADDRESS) beside
# it: each finding is a line of its report on the virtio console, which
# tests/board_vm_test.sh judges. Atime updates are left out of the writes
# counted: they come from the image's age.
set -u
. /mnt/payload/settings.sh
WAIT_STEP_S=0.1
. /mnt/payload/common.sh
unit=poll-client@$PORT.service
flood=poll-client@$FLOOD_PORT.service
lines_unit=poll-client-lines@$FLOOD_PORT.service
# Seconds that the events of every board may take to come.
EVENTS_LIMIT_S=60
# Seconds that systemd may take to start the client three times while it fails.
RESTARTS_LIMIT_S=20

uptime_s() { cut -d' ' -f1 /proc/uptime; }
# mark STEP: when STEP began, in seconds since power-on.
mark() { report "at $1" "$(uptime_s)"; }
restarts() { systemctl show -p NRestarts --value "$unit"; }
# events UNIT SINCE: each event of UNIT in the system journal since SINCE
# (seconds since the epoch), as its text, "EVENT BOARD DISTANCE [SECONDS]".
events() {
	journalctl -q -o cat -u "$1" --since "@$2" POLL_EVENT=near POLL_EVENT=moved POLL_EVENT=gone
}
# near_counts SINCE: "BOARD COUNT" for each board of the unit, its near
# events since SINCE.
near_counts() {
	for b in $BOARDS; do
		echo "$b $(journalctl -q -o cat -u "$unit" --since "@$1" POLL_EVENT=near POLL_BOARD="$b" | grep -c .)"
	done
}
# every_board_since SINCE: true once every board has come near since SINCE;
# the counts of its last read stay in /tmp/counts, to be reported as read.
every_board_since() { near_counts "$1" >/tmp/counts && ! grep -q ' 0$' /tmp/counts; }
restarted_since() { [ "$(restarts)" -ge $(($1 + 3)) ]; }
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
t0=$(date +%s)
systemctl enable --now "$unit" 2>&1 | sed 's/^/systemctl: /'
systemctl enable --now "$flood" 2>&1 | sed 's/^/systemctl: /'
wait_for $EVENTS_LIMIT_S every_board_since "$t0" || report "timed out" "events of every board"
while read -r b n; do report "near $b" "$n"; done </tmp/counts
# The account of the events opens once both instances run (their starts are
# systemd's few lines) and closes after FLOOD_S; it holds the checks.
mount -o remount,noatime /
sync
# Every journald: the lines' one too, where lines went before events.
units="$unit $flood systemd-journald.service systemd-journald@poll-client.service"
written0=$(written_kib) journal0=$(journal_kib) requests0=$(requests) cpu0=$(cpu_us $units) up0=$(uptime_s)
t_flood=$(date +%s)
mark checks
pid=$(main_pid "$unit")
report uid "$(proc_status "$pid" Uid | cut -f1)"
report "peak memory" "$(proc_status "$pid" VmHWM) of poll-events," \
	"$(proc_status "$(pidof -s poll-client)" VmHWM) of a client"
report exposure "$(systemd-analyze security "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')"

mark flood
now=$(uptime_s)
left=$((${up0%.*} + FLOOD_S + 1 - ${now%.*}))
[ $left -le 0 ] || sleep $left
sync
report "flood seconds" "$(awk -v a="$up0" -v b="$(uptime_s)" 'BEGIN { printf "%.1f", b - a }')"
report "flood requests" "$(($(requests) - requests0))"
report "flood cpu us" "$(($(cpu_us $units) - cpu0))"
report "flood written kib" "$(($(written_kib) - written0))"
report "flood journal growth kib" "$(($(journal_kib) - journal0))"
events "$flood" "$t0" | sed 's/^/flood event: /'
report "raw lines in the system journal" "$(journalctl -q -o cat | grep -c '^Object is detected')"
systemctl disable --now "$flood" 2>/dev/null

mark fault
# The network goes away: the client's next send fails, it ends with status 1,
# and systemd starts it again and again until the address is back.
dev=$(ip -o -4 addr show | awk -v a="$ADDRESS" '$4 == a { print $2; exit }')
before=$(restarts)
t_fault=$(date +%s)
ip addr flush dev "$dev"
report "address flushed" "$ADDRESS on $dev"
wait_for $RESTARTS_LIMIT_S restarted_since "$before"
report "restarts while down" "$(($(restarts) - before))"
# systemd's own record: the seconds from each exit to the restart it
# scheduled, which the unit's RestartSec sets.
report "restart delays while down" "$(journalctl -q -o short-monotonic --since "@$t_fault" -u "$unit" |
	awk -F'[][]' '/Main process exited/ { exit_at = $2 }
		/Scheduled restart job/ && exit_at != "" { printf "%.2f ", $2 - exit_at; exit_at = "" }')"
ip addr add "$ADDRESS" broadcast + dev "$dev" 2>/dev/null
t_back=$(date +%s)
report "address restored"
wait_for $EVENTS_LIMIT_S every_board_since "$t_back" || report "timed out" "events of every board after the fault"
while read -r b n; do report "near after the fault $b" "$n"; done </tmp/counts
journalctl -q -o short-monotonic --since "@$t_fault" -u "$unit" | grep -v POLL_ | head -n 20 | sed 's/^/journal: /'

mark lines
# Every line instead of events, one step away: the lines' unit, whose lines
# the documented command reads in memory. It floods; stopped once seen.
systemctl start "$lines_unit"
last_line() { journalctl --namespace=+poll-client -q -o cat -u "$lines_unit" -n 1 | grep -q '^Object is detected'; }
wait_for $EVENTS_LIMIT_S last_line || report "timed out" "a line of the lines' unit"
report "the lines' unit's last line" "$(journalctl --namespace=+poll-client -q -o cat -u "$lines_unit" -n 1)"
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
t_purge=$(date +%s)
apt-get purge -y -q poll-client >/tmp/apt.log 2>&1 || sed 's/^/apt: /' /tmp/apt.log
report "programs after purge" "$(pidof poll-client poll-events | wc -w)"
report "links to the units after purge" "$(find /etc/systemd/system -lname '*/poll-client*@*' | wc -l)"
# systemd's own record of the stop.
report "stop" "$(journalctl -q -o cat -u "$unit" --since "@$t_purge" |
	grep -c -e 'Deactivated successfully' -e 'Failed with result')" \
	"$(journalctl -q -o cat -u "$unit" --since "@$t_purge" | grep -c 'Failed with result')"

mark poweroff
report "done"
systemctl --check-inhibitors=no --no-wall poweroff
