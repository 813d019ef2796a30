#!/bin/bash
# A lost datagram never stops the polling: after a second of silence the
# client asks again; replies that come in time get exactly one request each;
# a stop and continue is no failure; with no board it asks about once a second.
T_LAB=2
source "$(dirname "$0")/lib.sh"

PORT=5000

sniff() {
	t_sniff 2 "$T_DIR/$1.pcap" udp port $PORT
	SNIFFER=$T_SNIFFER
}

# captured_at_least PCAP N: PCAP holds N datagrams or more (for t_wait).
captured_at_least() {
	[ "$(t_payloads "$1" | grep -c .)" -ge "$2" ]
}

# stopped DESC: the client ended by the SIGINT only; the capture is closed.
stopped() {
	t_eq "$1: stopped only by the signal" "$T_STATUS" 130
	kill -INT $SNIFFER
	t_wait_exit 5 $SNIFFER
}

# --- One request goes unanswered: the next comes after about a second.
sniff lost
t_poll $PORT /dev/null --name lost --distance 2.5 --ignore 1 --count 1
t_eq "the reply to the second request is printed" "$(cat "$T_DIR/out")" \
	"Object is detected 2.500000 meters away from board lost."
stopped "one lost request"
t_between "second request 1 s after the first" "$(t_gaps "$T_DIR/lost.pcap" $PORT | head -n 1)" 0.95 1.6
t_eq "one lost request: nothing on stderr" "$(cat "$T_DIR/err")" ""

# --- Replies within the second get exactly one request each.
sniff slow
t_poll $PORT /dev/null --name slow --distance 1 --delay 500 --count 4
stopped "half-second replies"
t_eq "half-second replies: 4 lines" "$(t_lines "$T_DIR/out")" 4
gaps=$(t_gaps "$T_DIR/slow.pcap" $PORT)
t_eq "half-second replies: 4 answered and 1 last request" "$(printf '%s\n' "$gaps" | grep -c .)" 4
t_between "half-second replies: each next request within the second" \
	"$(printf '%s\n' "$gaps" | sort -n | tail -n 1)" 0.45 0.95

# --- A stop and continue while waiting is no failure.
t_board 1 $PORT "$T_DIR/b.log" --log --name cont --distance 3 --ignore 1 --count 1
BOARD=$T_BOARD
t_client $PORT >"$T_DIR/out" 2>"$T_DIR/err" &
CLIENT=$!
t_wait 5 test -s "$T_DIR/b.log" || t_fail "no first request"
kill -STOP $CLIENT
sleep 0.2
kill -CONT $CLIENT
t_wait_exit 10 $BOARD
t_eq "after stop and continue: still polling, the reply printed" \
	"$(kill -0 $CLIENT && cat "$T_DIR/out")" "Object is detected 3.000000 meters away from board cont."
t_eq "after stop and continue: nothing on stderr" "$(cat "$T_DIR/err")" ""
kill -INT $CLIENT
t_wait_exit 5 $CLIENT

# --- No board: about one request a second, nothing printed.
sniff none
t_client $PORT >"$T_DIR/out" 2>&1 &
CLIENT=$!
t_wait 10 captured_at_least "$T_DIR/none.pcap" 4
kill -INT $CLIENT
t_wait_exit 5 $CLIENT
stopped "no board"
gaps=$(t_gaps "$T_DIR/none.pcap" $PORT)
t_between "no board: at least 3 gaps between requests" "$(printf '%s\n' "$gaps" | grep -c .)" 3 100
t_between "no board: each 1 s" "$(printf '%s\n' "$gaps" | sort -n | head -n 1)" 0.95 1.6
t_between "no board: each 1 s (longest)" "$(printf '%s\n' "$gaps" | sort -n | tail -n 1)" 0.95 1.6
t_eq "no board: nothing printed" "$(cat "$T_DIR/out")" ""

t_finish
