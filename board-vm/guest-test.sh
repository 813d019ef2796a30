#!/bin/sh
# Runs on the emulated board as root, from the host's payload disk, with its
# settings (BOARDS, PORT, FLOOD_PORT, FLOOD_S, ADDRESS) beside it: each
# finding is a line of its report on the virtio console, which
# tests/board_vm_test.sh judges. Atime updates are left out of the writes
# counted: they come from the image's age.
set -u
. /mnt/payload/settings.sh
WAIT_STEP_S=0.1
. /mnt/payload/common.sh
unit=poll-client@$PORT.service
flood=poll-client@$FLOOD_PORT.service
# The documented way to read a unit's lines: its journal namespace and the
# system journal, interleaved.
read_journal() { journalctl --namespace=+poll-client "$@"; }
# Seconds that the lines of every board may take to come.
LINES_LIMIT_S=60
# Seconds that systemd may take to start the client three times while it fails.
RESTARTS_LIMIT_S=20

uptime_s() { cut -d' ' -f1 /proc/uptime; }
# mark STEP: when STEP began, in seconds since power-on.
mark() { report "at $1" "$(uptime_s)"; }
restarts() { systemctl show -p NRestarts --value "$unit"; }
# counts SINCE: "BOARD COUNT" for each board, its detection lines in the unit's
# journal since SINCE (seconds since the epoch).
counts() {
	lines=$(read_journal -q -o cat -u "$unit" --since "@$1" | detections | cut -d' ' -f1)
	for b in $BOARDS; do
		echo "$b $(printf '%s\n' "$lines" | grep -cx "$b")"
	done
}
# every_board_since SINCE: true once every board has lines since SINCE; the
# counts of its last read stay in /tmp/counts, to be reported as read (a
# second read may meet the journal mid-write, "truncated", and find none).
every_board_since() { counts "$1" >/tmp/counts && ! grep -q ' 0$' /tmp/counts; }
restarted_since() { [ "$(restarts)" -ge $(($1 + 3)) ]; }
# written_kib: KiB written to the root disk since power-on.
written_kib() { awk '$3 == "vda" { print int($10 / 2) }' /proc/diskstats; }
# journal_kib: KiB that the persistent journals (every namespace) take.
journal_kib() { du -sk /var/log/journal | cut -f1; }
# flood_lines: the lines that the flood's client has written so far, one
# write each (stdout is line buffered; its sends are no writes).
flood_lines() { sed -n 's/^syscw: //p' "/proc/$(systemctl show -p MainPID --value "$flood")/io"; }

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
systemctl start "$flood"
wait_for $LINES_LIMIT_S every_board_since "$t0" || report "timed out" "lines of every board"
while read -r b n; do report "lines $b" "$n"; done </tmp/counts
# The flood's account opens once both instances run (their starts are
# systemd's few lines) and closes before its stop; it holds the checks.
mount -o remount,noatime /
sync
written0=$(written_kib) journal0=$(journal_kib) lines0=$(flood_lines) up0=$(uptime_s)
mark checks
pid=$(systemctl show -p MainPID --value "$unit")
report uid "$(proc_status "$pid" Uid | cut -f1)"
report "peak memory" "$(proc_status "$pid" VmHWM)"
report exposure "$(systemd-analyze security "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')"

mark flood
now=$(uptime_s)
left=$((${up0%.*} + FLOOD_S + 1 - ${now%.*}))
[ $left -le 0 ] || sleep $left
# The newest line's age when asked for (none for one written meanwhile):
# the reading itself takes seconds of emulation over a full namespace.
asked=$(date +%s)
last=$(read_journal -q -o short-unix -u "$flood" -n 1)
[ -n "$last" ] || last="0 no line"
age=$((asked - ${last%%.*}))
report "flood last line" "$((age > 0 ? age : 0)) s ago: ${last#* }"
report "flood lines" "$(($(flood_lines) - lines0))"
sync
now=$(uptime_s)
report "flood seconds" "$(awk -v a="$up0" -v b="$now" 'BEGIN { printf "%.1f", b - a }')"
report "flood written kib" "$(($(written_kib) - written0))"
report "flood journal growth kib" "$(($(journal_kib) - journal0))"
report "flood kept in memory" "$(journalctl --namespace=poll-client -q -o cat -u "$flood" | wc -l) lines in" \
	"$(du -sh /run/log/journal | cut -f1)"
systemctl stop "$flood"

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
wait_for $LINES_LIMIT_S every_board_since "$t_back" || report "timed out" "lines of every board after the fault"
while read -r b n; do report "lines after the fault $b" "$n"; done </tmp/counts
read_journal -q -o short-monotonic --since "@$t_fault" -u "$unit" | grep -v 'Object is detected' |
	head -n 20 | sed 's/^/journal: /'

mark upgrade
# The next version (the package rebuilt with a higher one) while the
# instance runs: it must run the new binary after, and the lines' journald
# its new settings.
main_pid() { systemctl show -p MainPID --value "$1"; }
before="$(main_pid "$unit") $(main_pid systemd-journald@poll-client.service)"
apt-get install -y -q /mnt/payload/next/poll-client_*.deb >/tmp/apt.log 2>&1 || sed 's/^/apt: /' /tmp/apt.log
report "version after the upgrade" "$(dpkg-query -W -f '${Version}' poll-client)"
report "client and journald before and after the upgrade" \
	"$before $(main_pid "$unit") $(main_pid systemd-journald@poll-client.service)"
report "clients that run a deleted file" "$(for p in $(pidof poll-client); do
	readlink "/proc/$p/exe"; done | grep -c '(deleted)')"

mark purge
# apt purge removes the package and its configuration at once: its
# removal's stop, then the purge.
t_purge=$(date +%s)
apt-get purge -y -q poll-client >/tmp/apt.log 2>&1 || sed 's/^/apt: /' /tmp/apt.log
report "clients after purge" "$(pidof poll-client | wc -w)"
report "links to the unit after purge" "$(find /etc/systemd/system -lname '*/poll-client@*' | wc -l)"
# systemd's own record of the stop.
report "stop" "$(journalctl -q -o cat -u "$unit" --since "@$t_purge" |
	grep -c -e 'Deactivated successfully' -e 'Failed with result')" \
	"$(journalctl -q -o cat -u "$unit" --since "@$t_purge" | grep -c 'Failed with result')"

mark poweroff
report "done"
systemctl --check-inhibitors=no --no-wall poweroff
