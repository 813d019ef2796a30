#!/bin/bash
# Nothing lost: a client stopped by a signal has written every line it
# printed, to a file and to a pipe alike.
T_LAB=1
source "$(dirname "$0")/lib.sh"

PORT=5000
N=50

# The two signals that stop a client, each with one of the two kinds of sink
# that the C library buffers fully by default.
for run in INT:pipe TERM:file; do
	sig=${run%:*} sink=${run#*:}
	t_board 1 $PORT /dev/null --name b1 --distance 1.25 --distance 3.5 --count $N
	board=$T_BOARD
	rm -f "$T_DIR/out" "$T_DIR/fifo"
	if [ $sink = pipe ]; then
		mkfifo "$T_DIR/fifo"
		cat "$T_DIR/fifo" >"$T_DIR/out" &
		reader=$!
		t_client $PORT >"$T_DIR/fifo" &
	else
		t_client $PORT >"$T_DIR/out" &
	fi
	client=$!
	# The board ends at request N+1, sent after line N was printed.
	t_wait_exit 10 $board
	kill -$sig $client
	t_wait_exit 5 $client
	t_eq "SIG$sig, stdout to a $sink: killed by the signal" "$T_STATUS" $((128 + $(kill -l $sig)))
	[ $sink = pipe ] && t_wait_exit 5 $reader
	t_eq "SIG$sig, stdout to a $sink: all $N lines" "$(t_lines "$T_DIR/out")" $N
done

t_finish
