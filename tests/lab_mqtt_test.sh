#!/bin/bash
# poll-events on MQTT against a real broker in the lab's client host, one
# table of what the broker holds, retained: the discovery and state of the
# boards, one that leaves, hostile names, a broker restart (everything again
# within 10 s), SIGKILL (the last will), a start after it (what is not near
# turned off), a stop (everything off, read by the broker), named boards (the
# others cleared), a broker that wants a password, a name lookup that hangs
# (events on time), and a broker that refuses (said once).
T_LAB=2
source "$(dirname "$0")/lib.sh"
for tool in mosquitto mosquitto_sub mosquitto_passwd; do
	command -v $tool >/dev/null || t_skip_or_fail "$tool not found (mosquitto, mosquitto-clients)"
done
! "$POLL_EVENTS" --mqtt x </dev/null 2>&1 | grep -q 'built without MQTT' ||
	t_skip_or_fail "poll-events built without MQTT (libmosquitto-dev)"
PORT=5000
MQTT_PORT=1883
PREFIX=lab
# A broker back in use within this, as promised, plus the time to read it.
REPUBLISH_LIMIT_S=12

# broker: a broker of the client host's own, with nothing kept, once it runs.
broker() {
	"$LAB" client mosquitto -v -p $MQTT_PORT >"$T_DIR/broker.log" 2>&1 &
	BROKER=$!
	wait_for 10 grep -q "mosquitto version .* running" "$T_DIR/broker.log" || t_fail "no broker"
}
# retained: every retained message, "TOPIC PAYLOAD", sorted, as last read;
# it stays in $T_DIR/retained for the check of what a wait found.
retained() {
	"$LAB" client mosquitto_sub -p $MQTT_PORT -t '#' -v --retained-only -W 1 2>/dev/null | sort >"$T_DIR/retained"
	cat "$T_DIR/retained"
}
# has TEXT: the retained messages hold the line TEXT.
has() { retained | grep -q -x -F -- "$1"; }
# holds STATE: the retained messages are STATE.
holds() { [ "$(retained)" = "$1" ]; }

# The client host's loopback alone takes IPv6 (the lab has none), for a
# broker on [::1].
"$LAB" client sysctl -qw net.ipv6.conf.lo.disable_ipv6=0
# Nothing listens on port 1: the refusal is said once, not at every try.
"$LAB" client "$POLL_EVENTS" --mqtt mqtt://127.0.0.1:1 -- sleep 4 2>"$T_DIR/refused" &
refused=$!
broker
# gate answers a few times and leaves; the other board's names are hostile,
# in turn: "a/b+#", control bytes, bytes that are not UTF-8.
t_board 1 $PORT /dev/null --name gate --distance 1.5 --count 20 --delay 10
t_board 2 $PORT /dev/null --reply-hex 612f622b2320322e35 --reply-hex 011b20322e35 --reply-hex fffe20322e35 --delay 50
hostile=$T_BOARD
"$LAB" client "$POLL_EVENTS" --hold 1 --mqtt "mqtt://127.0.0.1:$MQTT_PORT" --mqtt-prefix $PREFIX -- \
	"$POLL_CLIENT" $PORT >"$T_DIR/events" 2>"$T_DIR/err" &
events=$!
wait_for 15 has "$PREFIX/gate/presence OFF" || t_fail "gate never gone on the broker"
state=$(cat "$T_DIR/retained")

# check CASE TOPIC WANT_ERE: the retained message of TOPIC matches WANT_ERE.
check() { t_match "$1: $2" "$(printf '%s\n' "$state" | sed -n "s|^$2 ||p")" "$3"; }
check "two boards" "$PREFIX/status" '^online$'
check "two boards" "homeassistant/binary_sensor/${PREFIX}_gate/presence/config" \
	'"unique_id":"lab_gate_presence","device_class":"occupancy","state_topic":"lab/gate/presence".*"availability_topic":"lab/status","device":\{"identifiers":\["lab_gate"\],"name":"gate"'
check "two boards" "homeassistant/sensor/${PREFIX}_gate/distance/config" \
	'"unique_id":"lab_gate_distance","device_class":"distance","unit_of_measurement":"m"'
check "a board that leaves" "$PREFIX/gate/presence" '^OFF$'
check "a board that leaves" "$PREFIX/gate/distance" '^1\.500000$'
check "hostile names" "$PREFIX/a_2fb_2b_23/presence" '^ON$'
check "hostile names" "homeassistant/sensor/${PREFIX}_a_2fb_2b_23/distance/config" '"name":"a/b\+#"'
check "hostile names" "homeassistant/sensor/${PREFIX}__01_1b/distance/config" '"name":"\\u0001\\u001b"'
check "hostile names" "homeassistant/sensor/${PREFIX}__ff_fe/distance/config" '"name":"\\u00ff\\u00fe"'
t_eq "hostile names: every topic safe" "$(printf '%s\n' "$state" | cut -d' ' -f1 | grep -c '[+#[:cntrl:]]')" 0

# The broker restarts with nothing kept: the state and discovery come again.
kill -TERM $BROKER
t_wait_exit 5 $BROKER
broker
wait_for $REPUBLISH_LIMIT_S holds "$state" || true
t_eq "broker restart: the same retained messages as before, within ${REPUBLISH_LIMIT_S} s" "$(cat "$T_DIR/retained")" "$state"
t_eq "broker restart: the events go on" "$(kill -0 $events && echo running)" running

# SIGKILL: the broker publishes the last will.
kill -KILL $events
t_wait_exit 5 $events
wait_for 10 has "$PREFIX/status offline" || true
t_eq "SIGKILL: the last will says offline" "$(grep "^$PREFIX/status " "$T_DIR/retained")" "$PREFIX/status offline"

# on_now: the presences that the broker holds ON, as last read.
on_now() { grep ' ON$' "$T_DIR/retained" | cut -d' ' -f1 | sort | paste -sd' '; }
# only_on TOPIC..: the broker holds these presences ON, and no other.
only_on() { retained >/dev/null && [ "$(on_now)" = "$*" ]; }
# events ARGS..: poll-events on the broker of the host's IPv6 loopback, with
# the prefix and ARGS, running the client; EVENTS is its pid.
events() {
	"$LAB" client "$POLL_EVENTS" --hold 1 --mqtt "mqtt://[::1]:$MQTT_PORT" --mqtt-prefix $PREFIX "$@" -- \
		"$POLL_CLIENT" $PORT >/dev/null 2>"$T_DIR/err" &
	EVENTS=$!
}
# The hostile names' boards were near at the kill; after it, only north and east are.
kill $hostile
t_board 1 $PORT /dev/null --name north --distance 2 --delay 10
t_board 2 $PORT /dev/null --name east --distance 3 --delay 10
events
wait_for 10 only_on "$PREFIX/east/presence $PREFIX/north/presence" || true
t_eq "a start after a crash: ON only what is near now" "$(on_now)" "$PREFIX/east/presence $PREFIX/north/presence"
kill -TERM $EVENTS
t_wait_exit 5 $EVENTS
retained >/dev/null
t_eq "a stop with boards near: every board OFF and offline, read by the broker before the close" \
	"$(on_now) $(grep "^$PREFIX/status " "$T_DIR/retained")" " $PREFIX/status offline"

# Named boards: the others' lines make nothing, and their retained messages go.
topics() { cut -d' ' -f1 "$T_DIR/retained" | grep -v "/north/\|_north/" | paste -sd' '; }
north_alone() { retained >/dev/null && [ "$(topics)" = "$PREFIX/status" ] && [ "$(on_now)" = "$PREFIX/north/presence" ]; }
events --board north
wait_for 10 north_alone || true
t_eq "named boards: no other board's topic is left" "$(topics) $(on_now)" "$PREFIX/status $PREFIX/north/presence"
kill -TERM $EVENTS
t_wait_exit 5 $EVENTS
t_match "named boards: the others' lines counted" "$(cat "$T_DIR/err")" " [1-9][0-9]* of boards not named"
kill -TERM $BROKER
t_wait_exit 5 $BROKER
t_wait_exit 5 $refused
t_eq "a refusing broker: said once, on stderr" "$(grep mqtt "$T_DIR/refused")" \
	"poll-events: mqtt: 127.0.0.1 port 1: Connection refused"

# A name server that never answers (an address of the lab's that no host
# has): the events come on time all the same.
printf 'nameserver 10.3.52.99\n' >"$T_DIR/resolv.conf"
t_board 1 $PORT /dev/null --name gate --distance 1.5 --count 5 --delay 10
"$LAB" client unshare --mount sh -c 'mount --bind "$1" /etc/resolv.conf && shift && exec "$@"' - "$T_DIR/resolv.conf" \
	"$POLL_EVENTS" --hold 1 --mqtt mqtt://broker.invalid -- "$POLL_CLIENT" $PORT >"$T_DIR/events" 2>/dev/null &
events=$!
wait_for 5 grep -q ' gone gate ' "$T_DIR/events" || true
t_match "a name lookup that hangs: gone on time" "$(cat "$T_DIR/events")" ' gone gate '
kill -TERM $events
t_wait_exit 5 $events

# A broker that takes no one without a password: the user name and password
# from systemd's credential, as the unit's drop-in hands them over.
mkdir -p "$T_DIR/credentials"
printf 'board\nsecret\n' >"$T_DIR/credentials/mqtt"
: >"$T_DIR/passwd"
mosquitto_passwd -b "$T_DIR/passwd" board secret
# It stays root: the files are in the test's own scratch.
printf 'user root\nlistener %s\nallow_anonymous false\npassword_file %s\n' $MQTT_PORT "$T_DIR/passwd" >"$T_DIR/broker.conf"
"$LAB" client mosquitto -v -c "$T_DIR/broker.conf" >"$T_DIR/broker.log" 2>&1 &
BROKER=$!
wait_for 10 grep -q "mosquitto version .* running" "$T_DIR/broker.log" || t_fail "no broker"
CREDENTIALS_DIRECTORY=$T_DIR/credentials "$LAB" client "$POLL_EVENTS" --mqtt "mqtt://127.0.0.1:$MQTT_PORT" \
	--mqtt-prefix $PREFIX -- sleep 60 >/dev/null 2>&1 &
events=$!
sub() { "$LAB" client mosquitto_sub -p $MQTT_PORT -u board -P secret -t "$PREFIX/status" -C 1 -W 2 2>/dev/null >"$T_DIR/status"; }
online() { sub && [ "$(cat "$T_DIR/status")" = online ]; }
offline() { sub && [ "$(cat "$T_DIR/status")" = offline ]; }
wait_for 10 online || true
t_eq "a password from systemd's credential: the broker takes it" "$(cat "$T_DIR/status")" online
# poll-events alone killed: its command, which goes on, holds no socket of
# the broker's, so the broker sees the loss and publishes the will at once.
kill -KILL $events
wait_for 5 offline || true
t_eq "SIGKILL beside a command that goes on: the last will at once" "$(cat "$T_DIR/status")" offline
kill -TERM $BROKER
t_wait_exit 5 $BROKER
t_finish
