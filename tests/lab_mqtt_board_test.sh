#!/bin/bash
# The static poll-events on MQTT as a board runs it: the build that ships
# (OTHER_POLL_EVENTS), on the tree's CPU through qemu-user, against a real
# broker in the lab's client host: the availability, a board's discovery and
# state, and, after a stop, offline; and mqtts:// refused, as it has no TLS.
T_LAB=1
source "$(dirname "$0")/lib.sh"
t_need test mosquitto mosquitto_sub
PORT=5000
MQTT_PORT=1883
PREFIX=board
# Bounds on a hang, under emulation beside busy loops: the board's state on
# the broker, and the end after a stop.
STATE_LIMIT_S=30
STOP_LIMIT_S=10

"$LAB" client mosquitto -p $MQTT_PORT >"$T_DIR/broker.log" 2>&1 &
wait_for 10 grep -q "mosquitto version .* running" "$T_DIR/broker.log" || t_fail "no broker"
t_board 1 $PORT /dev/null --name gate --distance 1.5 --delay 10
"$LAB" client "$POLL_EVENTS" --mqtt "mqtt://127.0.0.1:$MQTT_PORT" --mqtt-prefix $PREFIX -- "$POLL_CLIENT" $PORT \
	>"$T_DIR/events" 2>"$T_DIR/err" &
events=$!

# retained_has LINE: the retained messages, "TOPIC PAYLOAD" sorted in
# $T_DIR/retained for the checks, hold LINE.
retained_has() {
	"$LAB" client mosquitto_sub -p $MQTT_PORT -t '#' -v --retained-only -W 1 2>/dev/null | sort >"$T_DIR/retained"
	grep -q -x -F -- "$1" "$T_DIR/retained"
}
# check CASE TOPIC WANT_ERE: in the read that the wait before proved, the
# retained message of TOPIC matches WANT_ERE.
check() { t_match "$1: $2" "$(sed -n "s|^$2 ||p" "$T_DIR/retained")" "$3"; }

wait_for $STATE_LIMIT_S retained_has "$PREFIX/gate/presence ON" || true
check "online" "$PREFIX/status" '^online$'
check "discovered" "homeassistant/binary_sensor/${PREFIX}_gate/presence/config" \
	'"unique_id":"board_gate_presence".*"state_topic":"board/gate/presence"'
check "near" "$PREFIX/gate/presence" '^ON$'
check "near" "$PREFIX/gate/distance" '^1\.500000$'

kill -TERM $events
t_wait_exit $STOP_LIMIT_S $events
wait_for $STATE_LIMIT_S retained_has "$PREFIX/status offline" || true
check "stopped" "$PREFIX/status" '^offline$'
check "stopped" "$PREFIX/gate/presence" '^OFF$'

"$LAB" client "$POLL_EVENTS" --mqtt mqtts://127.0.0.1 -- true 2>"$T_DIR/err"
t_eq "mqtts:// refused, status 2" "$?: $(cat "$T_DIR/err")" \
	"2: poll-events: mqtt: built without TLS: mqtts:// cannot be used, mqtt:// can"

t_finish
