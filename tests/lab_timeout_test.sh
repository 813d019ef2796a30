#!/bin/bash
# A lost datagram never stops the polling: after each second of silence the
# client asks again, and once a board answers, its reply is printed; a stop
# and continue while waiting is no failure.
T_LAB=2
source "$(dirname "$0")/lib.sh"

PORT=5000
UNANSWERED=3

# --- With no board, one request a second; once a board answers, its reply
# is printed.
t_sniff 2 "$T_DIR/lost.pcap" udp port $PORT
sniffer=$T_SNIFFER
t_client $PORT >"$T_DIR/out" 2>"$T_DIR/err" &
client=$!
requests() { [ "$(t_payloads "$T_DIR/lost.pcap" | grep -c .)" -gt "$1" ]; }
wait_for 10 requests $UNANSWERED || t_fail "fewer than $((UNANSWERED + 1)) requests"
t_eq "nothing printed while no one answers" "$(cat "$T_DIR/out")" ""
t_board 1 $PORT /dev/null --name late --distance 2.5 --count 1
t_wait_exit 10 $T_BOARD
wait_for 2 test -s "$T_DIR/out" || true
t_eq "then the reply is printed" "$(cat "$T_DIR/out")" \
	"Object is detected 2.500000 meters away from board late."
kill -INT $client
t_wait_exit 5 $client
t_eq "stopped only by the signal" "$T_STATUS" 130
t_eq "nothing on stderr" "$(cat "$T_DIR/err")" ""
kill -INT $sniffer
t_wait_exit 5 $sniffer
gaps=$(t_payloads "$T_DIR/lost.pcap" $PORT | head -n $UNANSWERED)
t_eq "a request after each unanswered one" "$(printf '%s\n' "$gaps" | grep -c .)" $UNANSWERED
t_between "each 1 s after the one before (shortest)" "$(printf '%s\n' "$gaps" | sort -n | head -n 1)" 0.95 1.6
t_between "each 1 s after the one before (longest)" "$(printf '%s\n' "$gaps" | sort -n | tail -n 1)" 0.95 1.6

# --- A stop and continue while waiting is no failure.
t_board 1 $PORT "$T_DIR/b.log" --log --name cont --distance 3 --ignore 1 --count 1
board=$T_BOARD
t_client $PORT >"$T_DIR/out" 2>"$T_DIR/err" &
client=$!
wait_for 5 test -s "$T_DIR/b.log" || t_fail "no first request"
kill -STOP $client
sleep 0.2
kill -CONT $client
t_wait_exit 10 $board
t_eq "after stop and continue: still polling, the reply printed" \
	"$(kill -0 $client && cat "$T_DIR/out")" "Object is detected 3.000000 meters away from board cont."
t_eq "after stop and continue: nothing on stderr" "$(cat "$T_DIR/err")" ""
kill -INT $client
t_wait_exit 5 $client

t_finish
