#!/bin/sh
# Runs on the emulated board as root, from the host's payload disk, with its
# output on the virtio console: installs the client package, runs it as a
# service against the lab's boards, takes the network away and gives it back,
# stops it, and powers the board off. Each finding is a line "report: KEY ...".
# BOARDS, PORT and the board's ADDRESS come from settings.sh beside it.
set -u
. /mnt/payload/settings.sh
unit=poll-client@$PORT.service

report() { echo "report: $*"; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }
# mark STEP: when STEP began, in seconds since power-on.
mark() { report "at $1 $(uptime_s)"; }
journal() { journalctl -q -o short-monotonic -u "$unit" "$@"; }
# counts SINCE: "BOARD COUNT" for each board, its detection lines in the unit's
# journal since SINCE (seconds since the epoch).
counts() {
	journalctl -q -o cat -u "$unit" --since "@$1" | awk -v boards="$BOARDS" '
		BEGIN { n = split(boards, b, " ") }
		/^Object is detected .* from board .*\.$/ { name = $NF; sub(/\.$/, "", name); c[name]++ }
		END { for (i = 1; i <= n; i++) print b[i], c[b[i]] + 0 }'
}
# wait_lines SECONDS SINCE: waits until every board has a line since SINCE.
wait_lines() {
	n=$(($1 * 2))
	while [ $n -gt 0 ]; do
		counts "$2" | grep -q ' 0$' || return 0
		n=$((n - 1))
		sleep 0.5
	done
	return 1
}

mark start
# The board's address is the lab's, given at each boot.
mkdir -p /run/systemd/network
printf '[Match]\nType=ether\n\n[Network]\nAddress=%s\nLinkLocalAddressing=no\nIPv6AcceptRA=no\n' \
	"$ADDRESS" >/run/systemd/network/10-lab.network
# Without D-Bus on the board networkctl cannot ask networkd to reload: a
# restart reads the new file.
systemctl restart systemd-networkd
systemd-analyze time 2>/dev/null | sed -n 's/^Startup finished in /boot: /p'
systemd-analyze blame 2>/dev/null | head -n 8 | sed 's/^ */blame: /'
if apt-get install -y -q /mnt/payload/poll-client_*.deb >/tmp/apt.log 2>&1; then
	report "install ok"
else
	report "install failed"
	sed 's/^/apt: /' /tmp/apt.log
fi
report "depends $(dpkg-query -W -f '${Depends}' poll-client)"

mark enable
t0=$(date +%s)
systemctl enable --now "$unit" 2>&1 | sed 's/^/systemctl: /'
wait_lines 60 "$t0" || report "no lines from some board"
counts "$t0" | while read -r b n; do report "lines $b $n"; done
report "at first-line $(journal -g '^Object is detected' | head -n 1 | sed 's/^\[ *\([0-9.]*\)\].*/\1/')"
mark checks
pid=$(systemctl show -p MainPID --value "$unit")
report "uid $(awk '/^Uid:/ { print $2 }' "/proc/$pid/status")"
report "peak memory $(awk '/^VmHWM:/ { print $2, $3 }' "/proc/$pid/status")"
report "exposure $(systemd-analyze security "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')"

mark fault
# The network goes away: the client's next send fails, it ends with status 1,
# and systemd starts it again and again until the address is back.
address=$ADDRESS
dev=$(ip -o -4 addr show | awk -v a="$address" '$4 == a { print $2; exit }')
restarts=$(systemctl show -p NRestarts --value "$unit")
t_fault=$(date +%s)
ip addr flush dev "$dev"
report "address $address on $dev flushed"
n=75
while [ "$(systemctl show -p NRestarts --value "$unit")" -lt $((restarts + 2)) ] && [ $n -gt 0 ]; do
	n=$((n - 1))
	sleep 0.2
done
report "restarts while down $(($(systemctl show -p NRestarts --value "$unit") - restarts))"
ip addr add "$address" broadcast + dev "$dev" 2>/dev/null
t_back=$(date +%s)
report "address restored"
wait_lines 60 "$t_back" || report "no lines from some board after the fault"
counts "$t_back" | while read -r b n; do report "lines after the fault $b $n"; done
journalctl -q -o short-monotonic --since "@$t_fault" -u "$unit" | grep -v 'Object is detected' |
	head -n 20 | sed 's/^/journal: /'

mark stop
systemctl stop "$unit"
report "after stop $(systemctl show -p ActiveState,Result --value "$unit" | tr '\n' ' ')"
report "suppressed $(journalctl -q -u systemd-journald | grep -c "Suppressed .* $unit")"
mark poweroff
report "done"
systemctl --check-inhibitors=no --no-wall poweroff
