#!/bin/bash
# A lost datagram never stops the polling: after a second of silence the
# client asks again; replies that come in time get exactly one request each;
# a stop and continue is no failure; with no board it asks about once a second.
source "$(dirname "$0")/lib.sh"
t_lab_up 2

PORT=5000

# requests PCAP: the capture times of the requests, one per line.
request_times() {
	tcpdump -r "$1" -nn -tt 'udp dst port 5000' 2>/dev/null | awk '{ print $1 }'
}

sniff() {
	t_sniff 2 "$T_DIR/$1.pcap" udp port $PORT
	SNIFFER=$T_SNIFFER
}

stop() {
	kill -INT $CLIENT
	t_wait_exit 5 $CLIENT
	t_eq "$1: stopped only by the signal" "$T_STATUS" 130
	kill -INT $SNIFFER
	t_wait_exit 5 $SNIFFER
}

# --- One request goes unanswered: the next comes after about a second.
sniff lost
t_board 1 $PORT /dev/null --name lost --distance 2.5 --ignore 1 --count 1
BOARD=$T_BOARD
t_client $PORT >"$T_DIR/out" 2>"$T_DIR/err" &
CLIENT=$!
t_wait_exit 10 $BOARD
t_eq "the reply to the second request is printed" "$(cat "$T_DIR/out")" \
	"Object is detected 2.500000 meters away from board lost."
stop "one lost request"
gap=$(request_times "$T_DIR/lost.pcap" | awk 'NR == 1 { t = $1 } NR == 2 { print $1 - t }')
t_match "second request 1 s after the first (got $gap s)" \
	"$(awk -v g="${gap:-0}" 'BEGIN { print (g >= 0.95 && g < 1.6) ? "yes" : "no" }')" yes
t_eq "one lost request: nothing on stderr" "$(cat "$T_DIR/err")" ""

# --- Replies within the second get exactly one request each.
sniff slow
t_board 1 $PORT /dev/null --name slow --distance 1 --delay 500 --count 4
BOARD=$T_BOARD
t_client $PORT >"$T_DIR/out" 2>&1 &
CLIENT=$!
t_wait_exit 10 $BOARD
stop "half-second replies"
t_eq "half-second replies: 4 lines" "$(t_lines "$T_DIR/out")" 4
t_eq "half-second replies: 4 answered and 1 last request" \
	"$(request_times "$T_DIR/slow.pcap" | wc -l)" 5

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
sleep 3.5
stop "no board"
n=$(request_times "$T_DIR/none.pcap" | wc -l)
t_match "no board: 4 or 5 requests in 3.5 s (got $n)" "$n" "^[45]$"
t_eq "no board: nothing printed" "$(cat "$T_DIR/out")" ""

t_finish
