#!/bin/bash
# The request on the wire: bytes, destination and port, seen by the board and
# by tcpdump as an independent observer, and the port argument's forms.
# Needs POLL_CLIENT and BOARD_SIM; runs only inside a lab it creates.
T_LAB=1
source "$(dirname "$0")/lib.sh"

PORT=5000
REQUEST_HEX="44 41 54 41 0a"

# One request, one reply, one line: the road of a reply from end to end.
t_sniff 1 "$T_DIR/wire.pcap" -c 1 udp port $PORT
sniffer=$T_SNIFFER
t_poll $PORT "$T_DIR/board.log" --name b2 --distance 1.5 --count 1 --log
t_eq "client stopped by SIGINT" "$T_STATUS" 130
t_eq "detection line for b2 at 1.5 m" "$(cat "$T_DIR/out")" \
	"Object is detected 1.500000 meters away from board b2."
t_eq "nothing on stderr" "$(cat "$T_DIR/err")" ""
t_match "board got DATA\\n at 10.3.52.255:$PORT from the client" "$(head -1 "$T_DIR/board.log")" \
	"^b2: from $LAB_CLIENT_IP:[0-9]+ to 10\\.3\\.52\\.255:$PORT len 5: $REQUEST_HEX\$"
t_wait_exit 10 $sniffer
t_match "tcpdump: Ethernet broadcast, UDP to 10.3.52.255:$PORT, 5 bytes" \
	"$(tcpdump -r "$T_DIR/wire.pcap" -nn -e 2>/dev/null)" \
	"> ff:ff:ff:ff:ff:ff, ethertype IPv4 \\(0x0800\\), length 47: $LAB_CLIENT_IP\\.[0-9]+ > 10\\.3\\.52\\.255\\.$PORT: UDP, length 5"

# The port argument is converted as strtol does, then cut to 16 bits.
for form in "12ab:12" " +7:7" "-1:65535" "65537:1" "0005000:5000"; do
	arg=${form%:*}
	want=${form##*:}
	t_board 1 "$want" "$T_DIR/port.log" --name p --count 0 --log
	board=$T_BOARD
	t_client "$arg" >/dev/null 2>&1 &
	client=$!
	t_wait_exit 10 $board
	kill -KILL $client 2>/dev/null
	wait $client 2>/dev/null
	t_match "port argument '$arg' sends to port $want" "$(cat "$T_DIR/port.log")" \
		"to 10\\.3\\.52\\.255:$want len 5: $REQUEST_HEX\$"
done

t_finish
