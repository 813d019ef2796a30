#!/bin/bash
# The static poll-events on MQTT as a board runs it: the build that ships
# (OTHER_POLL_EVENTS), on the tree's CPU through qemu-user, against a real
# broker in the lab's client host: the availability, a board's discovery and
# state; and mqtts:// refused, as it has no TLS.
T_LAB=1
source "$(dirname "$0")/lib.sh"
t_need test mosquitto mosquitto_sub
PORT=5000
MQTT_PORT=1883
# A bound on a hang, under emulation beside busy loops.
STATE_LIMIT_S=30

"$LAB" client mosquitto -p $MQTT_PORT >"$T_DIR/broker.log" 2>&1 &
wait_for 10 grep -q "mosquitto version .* running" "$T_DIR/broker.log" || t_fail "no broker"
t_board 1 $PORT /dev/null --name gate --distance 1.5 --delay 10
"$LAB" client "$POLL_EVENTS" --mqtt "mqtt://127.0.0.1:$MQTT_PORT" --mqtt-prefix board -- "$POLL_CLIENT" $PORT \
	>"$T_DIR/events" 2>"$T_DIR/err" &

# near: the retained messages, "TOPIC PAYLOAD" in $T_DIR/retained for the
# checks, hold gate's distance.
near() {
	"$LAB" client mosquitto_sub -p $MQTT_PORT -t '#' -v --retained-only -W 1 2>/dev/null >"$T_DIR/retained"
	grep -q -x "board/gate/distance 1.500000" "$T_DIR/retained"
}
wait_for $STATE_LIMIT_S near || true
# check TOPIC WANT_ERE: in the read that proved the wait, TOPIC's message.
check() { t_match "$1" "$(sed -n "s|^$1 ||p" "$T_DIR/retained")" "$2"; }
check board/status '^online$'
check homeassistant/binary_sensor/board_gate/presence/config '"unique_id":"board_gate_presence".*"state_topic":"board/gate/presence"'
check board/gate/presence '^ON$'
check board/gate/distance '^1\.500000$'

"$LAB" client "$POLL_EVENTS" --mqtt mqtts://127.0.0.1 -- true 2>"$T_DIR/err"
t_eq "mqtts:// refused, status 2" "$?: $(cat "$T_DIR/err")" \
	"2: poll-events: mqtt: built without TLS: mqtts:// cannot be used, mqtt:// can"

t_finish
