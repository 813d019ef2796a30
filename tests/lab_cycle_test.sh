#!/bin/bash
# The poll cycle as boards see it: request first, one request per reply read,
# queued replies from several boards, and replies from strangers.
T_LAB=2
source "$(dirname "$0")/lib.sh"

PORT=5000

# start_board I ARGS..: a board-sim on host I with its log in $T_DIR/bI.log;
# sets BOARD to its pid. Boards share one CPU: their replies then pass one
# receive backlog in the order sent, so a sniffer sees the order the client's
# socket sees (on two CPUs two backlogs may interleave differently).
start_board() {
	local i=$1
	shift
	t_board "$i" $PORT "$T_DIR/b$i.log" --log "$@"
	BOARD=$T_BOARD
	taskset -pc 0 "$BOARD" >/dev/null
}

stop_client() {
	kill -INT "$CLIENT"
	t_wait_exit 5 "$CLIENT"
}

# --- The request comes first; with no answer the client waits and prints nothing.
start_board 1 --name slow --distance 2 --delay 600 --count 1
t_client $PORT >"$T_DIR/out" 2>&1 &
CLIENT=$!
wait_for 5 test -s "$T_DIR/b1.log" || t_fail "no first request"
t_eq "nothing printed before the first reply" "$(cat "$T_DIR/out")" ""
t_wait_exit 10 $BOARD
t_eq "the delayed reply is printed" "$(cat "$T_DIR/out")" \
	"Object is detected 2.000000 meters away from board slow."
sleep 1
t_eq "with no further answer: still polling, nothing more printed" \
	"$(kill -0 $CLIENT && cat "$T_DIR/out")" "Object is detected 2.000000 meters away from board slow."
stop_client
t_eq "two requests in all" "$(wc -l <"$T_DIR/b1.log")" 2

# --- One new request per reply read, counted by an observer on another host.
t_sniff 2 "$T_DIR/sn2.pcap" udp port $PORT
SNIFFER=$T_SNIFFER
t_poll $PORT "$T_DIR/b1.log" --log --name b1 --distance 1 --distance 2 --distance 9 --count 30
kill -INT $SNIFFER
t_wait_exit 5 $SNIFFER
t_eq "30 replies read, 31 requests sent" \
	"$(t_payloads "$T_DIR/sn2.pcap" | grep -c ' DATA\\n$')" 31
t_eq "20 of them in range, printed" "$(t_lines "$T_DIR/out")" 20

# --- Two boards answer every request: every reply is read by a later cycle,
# in the order in which the replies reached the client.
t_sniff client "$T_DIR/client.pcap" udp src port $PORT
SNIFFER=$T_SNIFFER
start_board 1 --name a --distance 1.1 --distance 1.2 --distance 1.3 --distance 1.4 --distance 1.5 --count 5
BOARD_A=$BOARD
start_board 2 --name b --distance 2.1 --distance 2.2 --distance 2.3 --distance 2.4 --distance 2.5 --count 5
t_client $PORT >"$T_DIR/out" 2>&1 &
CLIENT=$!
t_wait_exit 10 $BOARD_A
t_wait_exit 10 $BOARD
wait_for 5 t_has_lines "$T_DIR/out" 10 || true
stop_client
kill -INT $SNIFFER
t_wait_exit 5 $SNIFFER
t_eq "all ten replies printed" "$(t_lines "$T_DIR/out")" 10
t_eq "board a's replies in its order" "$(detections <"$T_DIR/out" | sed -n 's/^a //p' | tr '\n' ' ')" \
	"1.100000 1.200000 1.300000 1.400000 1.500000 "
t_eq "board b's replies in its order" "$(detections <"$T_DIR/out" | sed -n 's/^b //p' | tr '\n' ' ')" \
	"2.100000 2.200000 2.300000 2.400000 2.500000 "
t_eq "printed in arrival order" \
	"$(t_payloads "$T_DIR/client.pcap" | awk '{ printf "%s %.6f\n", $4, $5 }')" \
	"$(detections <"$T_DIR/out")"

# --- A datagram from a host that is no board counts as a reply.
start_board 1 --name quiet --count 0
t_client $PORT >"$T_DIR/out" 2>&1 &
CLIENT=$!
t_wait_exit 10 $BOARD
client_port=$(sed -n "s/.*from $LAB_CLIENT_IP:\\([0-9]*\\) .*/\\1/p" "$T_DIR/b1.log")
"$LAB" board 2 bash -c "printf 'stranger 2.5' >/dev/udp/$LAB_CLIENT_IP/$client_port"
wait_for 5 test -s "$T_DIR/out" || true
stop_client
t_eq "stranger's datagram handled as a reply" "$(cat "$T_DIR/out")" \
	"Object is detected 2.500000 meters away from board stranger."

t_finish
