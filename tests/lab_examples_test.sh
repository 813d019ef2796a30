#!/bin/bash
# The manual page's pipe examples, with the real programs: the client's lines
# through ts(1) get their times, and through mosquitto_pub -l reach an MQTT
# broker in the lab's client host as messages, each while the client still
# runs (its output is line buffered), not only when it ends.
T_LAB=1
source "$(dirname "$0")/lib.sh"
for tool in ts mosquitto mosquitto_pub mosquitto_sub; do
	command -v $tool >/dev/null || t_skip_or_fail "$tool not found (moreutils, mosquitto, mosquitto-clients)"
done

PORT=5000
LINES=3
TOPIC=boards/detections
LINE="Object is detected 1.500000 meters away from board b1."

# through FIFO CMD..: the client with its stdout into CMD, in the client
# host, and a board that answers LINES times; the client keeps polling after.
through() {
	local fifo=$T_DIR/$1
	shift
	mkfifo "$fifo"
	t_board 1 $PORT /dev/null --name b1 --distance 1.5 --count $LINES
	"$LAB" client "$@" <"$fifo" &
	SINK=$!
	t_client $PORT >"$fifo" &
	CLIENT=$!
}

# stop: the client by SIGINT, and the command it fed, which then ends.
stop() {
	kill -INT $CLIENT
	t_wait_exit 5 $CLIENT
	t_wait_exit 5 $SINK
}

through ts.fifo ts '%FT%T' >"$T_DIR/ts.out"
wait_for 10 t_has_lines "$T_DIR/ts.out" $LINES || t_fail "ts: fewer than $LINES lines"
t_eq "ts: each line there while the client runs" "$(kill -0 $CLIENT && t_lines "$T_DIR/ts.out")" $LINES
t_eq "ts: each line with its time" "$(sed 's/^[0-9]\{4\}-[0-9-]*T[0-9:]* //' "$T_DIR/ts.out" | uniq -c | sed 's/^ *//')" \
	"$LINES $LINE"
stop

# A broker of the client host's own, on its loopback; the subscriber is
# there before the first line.
"$LAB" client mosquitto -v -p 1883 >"$T_DIR/broker.log" 2>&1 &
wait_for 10 grep -q "^[0-9]*: mosquitto version .* running" "$T_DIR/broker.log" || t_fail "no broker"
"$LAB" client mosquitto_sub -h 127.0.0.1 -t $TOPIC -C $LINES >"$T_DIR/sub.out" 2>"$T_DIR/sub.err" &
sub=$!
wait_for 10 grep -q "SUBSCRIBE" "$T_DIR/broker.log" || t_fail "no subscriber at the broker"
through mqtt.fifo mosquitto_pub -h 127.0.0.1 -t $TOPIC -l
t_wait_exit 10 $sub
t_eq "mosquitto_pub -l: $LINES messages received while the client runs" \
	"$(kill -0 $CLIENT && uniq -c "$T_DIR/sub.out" | sed 's/^ *//')" "$LINES $LINE"
stop

t_finish
