#!/bin/bash
# The armhf client package on an emulated ARM board with Debian 13 and
# systemd, in the lab: installed with apt, run as poll-client@5000, without
# and with its network; between, a second instance polls, for FLOOD_S, a
# board that answers at once and one whose object comes and goes: their
# events must cost the board's storage and CPU next to nothing. Then the
# lines' unit, an upgrade and a purge. The first instance publishes on MQTT
# through the documented drop-in, to a broker that wants a password, on a
# subnet of its own that the drop-in's address filter opens. Checks the
# board's report (guest-test.sh), what the lab's boards saw and what the
# broker keeps. Needs DIST_DIR.
source "$(dirname "$0")/lib.sh"
SRC=$T_HERE/..
PORT=5000
BOARDS="north east"
# Seconds that the whole board may take: a bound on a hang, not on pace
# (about 200 on a quiet host, 420 seen beside two busy loops).
BOOT_LIMIT_S=1200
FLOOD_PORT=5001
# The flood lasts FLOOD_S, and until its clients have sent FLOOD_REQUESTS
# (84,608 in 60 s on a quiet host, half that beside a busy loop).
FLOOD_S=60
FLOOD_REQUESTS=5000
# In the flood, at most: the persistent journal's growth and the writes to
# the board's disk, in KiB. Its CPU per request is printed, not judged: the
# guest's CPU is busy all through, so the figure is the host's pace
# (docs/testing.md, "Figures printed, not judged").
FLOOD_JOURNAL_KIB=64
FLOOD_WRITTEN_KIB=1024
# Seconds from an exit of the failed client to its restart, at least: the
# unit's RestartSec, 2 s, less how late journald may stamp the exit on a
# busy emulated board (1.94 s seen). RestartSec=100ms gave at most 1.17 s.
RESTART_MIN_S=1.5
# The broker, in board host 1, on an address of the lab's beyond the
# boards' subnet; the board's own address there.
BROKER_IP=10.3.53.1
BROKER_CLIENT=10.3.53.10/24

# Set up on the host's network, then the rest inside a lab of two boards.
if [ -z "${LAB_CLIENT_NS:-}" ]; then
	BOARD_DEB=$(ls "$DIST_DIR"/poll-client_*_armhf.deb 2>/dev/null)
	[ -n "$BOARD_DEB" ] || t_skip_or_fail "no armhf client package in $DIST_DIR (run ./scripts/package.sh)"
	t_need vm qemu-system-arm qemu-img mke2fs
	BOARD_IMAGE=$("$SRC/board-vm/image.sh") || t_skip_or_fail "no board image (above)"
	export BOARD_DEB BOARD_IMAGE
	t_enter_lab 4
fi

source "$SRC/board-vm/board-vm.sh"
i=0
for b in $BOARDS; do
	i=$((i + 1))
	# Paced, so that this instance takes little of the board's one CPU.
	t_board $i $PORT /dev/null --name $b --moving 1,4,10 --delay 100
done
t_board 3 $FLOOD_PORT /dev/null --name wall --distance 1.5
t_board 4 $FLOOD_PORT /dev/null --name door --moving 1,8,30
"$LAB" board 1 ip addr add $BROKER_IP/24 dev eth0
mosquitto_passwd -c -b "$T_DIR/passwd" board secret
printf 'user root\nlistener 1883 %s\nallow_anonymous false\npassword_file %s\n' $BROKER_IP "$T_DIR/passwd" >"$T_DIR/broker.conf"
"$LAB" board 1 mosquitto -c "$T_DIR/broker.conf" 2>"$T_DIR/broker.log" &
T_SNIFF_LIMIT_S=$((BOOT_LIMIT_S + 30)) t_sniff 1 "$T_DIR/requests.pcap" udp dst port $PORT

payload=$T_DIR/payload
mkdir -p "$payload" "$T_DIR/vm"
cp "$BOARD_DEB" "$SRC/lab/common.sh" "$payload/"
printf 'board\nsecret\n' >"$payload/mqtt"
cp "$SRC/board-vm/guest-test.sh" "$payload/run.sh"
# The next version: the same package with a higher version, which dpkg
# installs as new files.
dpkg-deb -R "$BOARD_DEB" "$T_DIR/next"
sed -i 's/^Version: .*/&+1/' "$T_DIR/next/DEBIAN/control"
mkdir -p "$payload/next"
dpkg-deb -b --root-owner-group "$T_DIR/next" "$payload/next/poll-client_next_armhf.deb" >/dev/null
printf 'BOARDS="%s"\nPORT=%s\nFLOOD_PORT=%s\nFLOOD_S=%s\nFLOOD_REQUESTS=%s\nBROKER_IP=%s\nBROKER_CLIENT=%s\n' \
	"$BOARDS" $PORT $FLOOD_PORT $FLOOD_S $FLOOD_REQUESTS $BROKER_IP $BROKER_CLIENT >"$payload/settings.sh"
started=$SECONDS
board_vm_boot "$BOARD_IMAGE" "$payload" "$T_DIR/vm" $BOOT_LIMIT_S || t_fail "cannot boot the board"
t_wait_exit $((BOOT_LIMIT_S + 10)) "$BOARD_VM_PID"
echo "board-vm: powered off after $((SECONDS - started)) s, status $T_STATUS"
log=$T_DIR/vm/console.log
tr -d '\r' <"$log"
t_eq "the board powers off by itself" "$T_STATUS" 0
t_eq "the board finished its test" "$(t_report "$log" "done" | wc -l)" 1
t_eq "apt installs the package" "$(t_report "$log" install)" ok
for b in $BOARDS; do
	t_match "board $b comes near" "$(t_report "$log" "near $b")" "^[1-9][0-9]*$"
	t_match "and near again after the fault" "$(t_report "$log" "near after the fault $b")" "^[1-9][0-9]*$"
done
t_between "runs as a dynamic user" "$(t_report "$log" uid)" 61184 65519
echo "board-vm: peak memory: $(t_report "$log" 'peak memory')"
t_between "exposure on the board at most 1.5" "$(t_report "$log" exposure)" 0 1.5
t_match "the send fails once the address is gone" "$(cat "$log")" 'journal: .*Sendto: Network is unreachable'
t_between "systemd restarts it while the network is down" "$(t_report "$log" 'restarts while down')" 3 100
echo "board-vm: from each exit to its restart while down: $(t_report "$log" 'restart delays while down')s"
t_between "each restart while down comes RestartSec after the exit" \
	"$(t_report "$log" 'restart delays while down' | awk '{ m = $1; for (i = 2; i <= NF; i++) if ($i < m) m = $i } END { print m }')" \
	"$RESTART_MIN_S" 1000

requests=$(t_report "$log" 'flood requests') cpu_us=$(t_report "$log" 'flood cpu us')
per_request=$(awk -v c="$cpu_us" -v r="$requests" 'BEGIN { if (c != "" && r > 0) printf "%.0f", c / r }')
echo "board-vm: flood of $requests requests in $(t_report "$log" 'flood seconds') s: $(t_report "$log" 'flood written kib') KiB" \
	"written, the persistent journal $(t_report "$log" 'flood journal growth kib') KiB larger, ${per_request} us of CPU a request"
t_between "the flood ran for FLOOD_S" "$(t_report "$log" 'flood seconds')" $FLOOD_S 1000
t_between "the flood sent requests by the thousand" "$requests" $FLOOD_REQUESTS 1000000000
events=$(sed -n 's/\r$//; s/^flood event: //p' "$log")
t_eq "the board whose object stays: one near, nothing more" "$(printf '%s\n' "$events" | awk '$2 == "wall" { print $1 }')" near
t_match "the board whose object comes and goes: near and gone" \
	"$(printf '%s\n' "$events" | awk '$2 == "door" { print $1 }' | sort -u | tr '\n' ' ')" "^gone (moved )?near $"
t_eq "no raw detection line in the system journal" "$(t_report "$log" 'raw lines in the system journal')" 0
t_between "the persistent journal grows by at most ${FLOOD_JOURNAL_KIB} KiB" \
	"$(t_report "$log" 'flood journal growth kib')" 0 $FLOOD_JOURNAL_KIB
t_between "the disk takes at most ${FLOOD_WRITTEN_KIB} KiB of writes" "$(t_report "$log" 'flood written kib')" 0 $FLOOD_WRITTEN_KIB
t_eq "the lines' unit: the documented command reads its lines in memory" \
	"$(t_report "$log" "the lines' unit's last line" | detections | cut -d' ' -f1 | grep -c -x -e wall -e door)" 1

version=$(dpkg-deb -f "$BOARD_DEB" Version)
t_eq "dpkg upgrades it" "$(t_report "$log" 'version after the upgrade')" "$version+1"
read -r events0 journald0 events1 journald1 <<<"$(t_report "$log" 'events and journald before and after the upgrade')"
# renewed PID0 PID1: "new" when both are processes, and not the same one.
renewed() { [[ $1 =~ ^[1-9][0-9]*$ && $2 =~ ^[1-9][0-9]*$ && $1 != "$2" ]] && echo new || echo "$1 then $2"; }
t_eq "the upgrade restarts the instance on the new binaries" "$(renewed "$events0" "$events1")" new
t_eq "and the lines' journald, for its new settings" "$(renewed "$journald0" "$journald1")" new
t_eq "nothing runs a deleted file after the upgrade" "$(t_report "$log" 'programs that run a deleted file')" 0
t_eq "apt purge stops every instance" "$(t_report "$log" 'programs after purge')" 0
t_eq "its stop ends the instance cleanly, by systemd's record" "$(t_report "$log" stop)" "1 0"
t_eq "apt purge leaves no link to the units" "$(t_report "$log" 'links to the units after purge')" 0

# What the broker keeps of the instance: its discovery, and the purge's
# clean stop (every board OFF, offline), under the host's and port's prefix.
kept=$("$LAB" board 1 mosquitto_sub -h $BROKER_IP -u board -P secret -t '#' -v --retained-only -W 5 2>/dev/null)
printf '%s\n' "$kept" | sed 's/^/broker: /'
for b in $BOARDS; do
	t_match "the drop-in's broker: $b discovered, under the host's and port's ids" "$kept" \
		"^homeassistant/binary_sensor/poll-client_[^ ]*_${PORT}_$b/presence/config .*\"unique_id\":\"poll-client_[^\"]*_${PORT}_${b}_presence\""
	t_match "the drop-in's broker: $b OFF after the stop" "$kept" "^poll-client/[^ ]*/$PORT/$b/presence OFF$"
done
t_match "the drop-in's broker: offline after the stop" "$kept" "^poll-client/[^ ]*/$PORT/status offline$"

kill -INT "$T_SNIFFER"
t_wait_exit 5 "$T_SNIFFER"
t_eq "the boards see DATA\\n broadcast from the board's address, and nothing else" \
	"$(t_payloads "$T_DIR/requests.pcap" | cut -d' ' -f2- | sed 's/^\([0-9.]*\):[0-9]*/\1/' | sort -u)" \
	"$LAB_CLIENT_IP $LAB_BROADCAST:$PORT DATA\\n"

t_finish
