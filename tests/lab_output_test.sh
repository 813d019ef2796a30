#!/bin/bash
# A detection line that cannot be written ends the client with the system's
# reason, never a silent client: stdout on a full disk, a pipe whose reader is
# gone (SIGPIPE ignored), stdout closed at start. The board sees only requests.
# A closed stdin is no failure, but the socket never takes its number.
T_LAB=1
source "$(dirname "$0")/lib.sh"

PORT=5000
REQUEST_HEX="len 5: 44 41 54 41 0a"

# finish DESC WANT_ERR WANT_REQUESTS: the client ends by itself with status 1
# and WANT_ERR on stderr; the board has logged WANT_REQUESTS requests and
# nothing else.
finish() {
	t_wait_exit 10 $CLIENT
	t_eq "$1: status" "$T_STATUS" 1
	t_eq "$1: stderr" "$(cat "$T_DIR/err")" "$2"
	sleep 0.2
	t_eq "$1: requests seen by the board" "$(grep -c "$REQUEST_HEX\$" "$T_DIR/b.log")" "$3"
	t_eq "$1: nothing else seen by the board" "$(grep -vc "$REQUEST_HEX\$" "$T_DIR/b.log")" 0
	kill -KILL $BOARD 2>/dev/null
	wait $BOARD 2>/dev/null
}

t_board 1 $PORT "$T_DIR/b.log" --log --name full --distance 1.5
BOARD=$T_BOARD
t_client $PORT >/dev/full 2>"$T_DIR/err" &
CLIENT=$!
finish "stdout on /dev/full" "stdout: $(t_reason 28)" 1

# The pipe's only reader is this shell's fd 7, closed once the client polls;
# the first request goes unanswered, so the first line comes after that.
t_board 1 $PORT "$T_DIR/b.log" --log --name gone --distance 1.5 --ignore 1
BOARD=$T_BOARD
mkfifo "$T_DIR/fifo"
exec 7<>"$T_DIR/fifo"
(trap '' PIPE && t_client $PORT >"$T_DIR/fifo" 2>"$T_DIR/err" 7<&-) &
CLIENT=$!
wait_for 5 test -s "$T_DIR/b.log" || t_fail "no first request"
exec 7<&-
finish "reader gone, SIGPIPE ignored" "stdout: $(t_reason 32)" 2

t_board 1 $PORT "$T_DIR/b.log" --log --name closed --distance 1.5
BOARD=$T_BOARD
t_client $PORT >&- 2>"$T_DIR/err" &
CLIENT=$!
finish "stdout closed at start" "stdout: $(t_reason 9)" 0

# With stdin closed the socket must not take descriptor 0: the client polls
# as ever, and descriptor 0 stays closed.
t_board 1 $PORT /dev/null --name open --distance 1.5 --count 1
BOARD=$T_BOARD
t_client $PORT >"$T_DIR/out" 2>"$T_DIR/err" <&- &
CLIENT=$!
t_wait_exit 10 $BOARD
t_eq "stdin closed: the line printed" "$(cat "$T_DIR/out")" \
	"Object is detected 1.500000 meters away from board open."
t_eq "stdin closed: no socket on descriptor 0" "$(readlink "/proc/$CLIENT/fd/0" | grep -c socket)" 0
kill -INT $CLIENT
t_wait_exit 5 $CLIENT

t_finish
