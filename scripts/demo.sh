#!/bin/bash
# demo.sh [--events | --mqtt] [SECONDS]: three simulated boards with moving
# objects, in a network lab of its own (lab/lab), for SECONDS (default 15) or
# until Ctrl-C. It shows poll-client's detection lines; with --events, the
# events that poll-events makes of them instead; with --mqtt, what Home
# Assistant receives from poll-events through a broker inside the lab, as
# mosquitto_sub -v prints it. What it shows goes to stdout, everything else
# to stderr, so the demo can be piped or redirected. Runs as any user; only
# what install-deps.sh installs needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

PORT=5000
# Each board answers at most once per REPLY_DELAY_MS, which paces the demo:
# the client itself polls again at once after every reply.
REPLY_DELAY_MS=400
# Shorter than poll-events' defaults, so that a gone and a moved show within
# the demo's seconds: the boards' objects are out of range for 1 to 4.5 s.
HOLD_S=2
EVERY_S=3
# The broker listens on the client host's loopback alone, mosquitto's default.
MQTT_PORT=1883
# As the packaged unit names it: poll-client/HOST/PORT.
MQTT_PREFIX=poll-client/lab/$PORT
# After the stop, the time for the subscriber to show the last messages.
LAST_MESSAGES_S=1

say() { echo "demo: $*" >&2; }
usage() { say "usage: demo.sh [--events | --mqtt] [SECONDS]"; exit 2; }

args=("$@")
mode=lines
case ${1:-} in
--events | --mqtt) mode=${1#--}; shift ;;
esac
[ $# -le 1 ] || usage
DURATION=${1:-15}
case $DURATION in
'' | *[!0-9]*) usage ;;
esac

if [ -z "${LAB_CLIENT_NS:-}" ]; then
	groups=(demo)
	[ "$mode" != mqtt ] || groups+=(mqtt)
	./scripts/install-deps.sh "${groups[@]}"
	say "building (up to date after the first time)"
	# The demo needs no tests; a tree that the test command set up keeps its own.
	tests=()
	[ -e build/CMakeCache.txt ] || tests=(-DPOLL_CLIENT_TESTS=OFF)
	{ cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${tests[@]}" >/dev/null &&
		cmake --build build -j "$(nproc)" >/dev/null; } || { say "build failed"; exit 1; }
	if [ "$mode" = mqtt ] && build/poll-events --mqtt x </dev/null 2>&1 | grep -q 'built without MQTT'; then
		say "build/poll-events was built without MQTT: rm build/CMakeCache.txt, then run the demo again"
		exit 1
	fi
	# The lab, and all that runs in it, ends with this process, however it ends.
	exec lab/lab 3 "$0" "${args[@]}"
fi
# shellcheck source=lab/common.sh
. lab/common.sh

# start_boards: the three boards, listening. Objects that come from far away
# to near and go back, each at its own pace.
start_boards() {
	"$LAB" board 1 build/board-sim --name north --port $PORT --moving 0.5,8,9 --delay $REPLY_DELAY_MS &
	"$LAB" board 2 build/board-sim --name east --port $PORT --moving 1.2,7,13 --delay $REPLY_DELAY_MS &
	"$LAB" board 3 build/board-sim --name gate --port $PORT --moving 0.2,6,6 --delay $REPLY_DELAY_MS &
	for i in 1 2 3; do
		"$LAB" listening $i $PORT || { say "board $i did not start"; exit 1; }
	done
}

# start_broker: a broker in the client host, which keeps nothing, and a
# subscriber to all that Home Assistant reads, on stdout.
start_broker() {
	# The lab's /run is its own, and goes with it.
	"$LAB" client mosquitto -p $MQTT_PORT >/run/broker.log 2>&1 &
	broker_runs() { grep -q "mosquitto version .* running" /run/broker.log; }
	wait_for 10 broker_runs || { say "the broker did not start:"; cat /run/broker.log >&2; exit 1; }
	"$LAB" client mosquitto_sub -p $MQTT_PORT -v -t 'homeassistant/#' -t "$MQTT_PREFIX/#" &
	subscriber=$!
}

# run_for COMMAND..: COMMAND in the client host until DURATION has passed,
# or it ends, then stopped as Ctrl-C stops it.
run_for() {
	"$LAB" client "$@" &
	local pid=$! end=$((SECONDS + DURATION))
	while [ $SECONDS -lt $end ] && kill -0 $pid 2>/dev/null; do
		sleep 0.2
	done
	kill -INT $pid 2>/dev/null || true
	wait $pid 2>/dev/null || true
}

say "lab: client $LAB_CLIENT_IP, boards ${LAB_BOARD_IPS// /, }; no route outside"
start_boards
events=(build/poll-events --hold "$HOLD_S" --every "$EVERY_S")
case $mode in
lines)
	say "poll-client $PORT for $DURATION s (Ctrl-C stops it); lines appear while an object is within 5 m"
	run_for build/poll-client $PORT
	;;
events)
	say "poll-events -- poll-client $PORT for $DURATION s (Ctrl-C stops it): near, moved and gone"
	run_for "${events[@]}" -- build/poll-client $PORT
	;;
mqtt)
	start_broker
	say "poll-events --mqtt, its events on stderr, for $DURATION s (Ctrl-C stops it);" \
		"on stdout what Home Assistant receives (mosquitto_sub -v)"
	run_for "${events[@]}" --mqtt mqtt://127.0.0.1:$MQTT_PORT --mqtt-prefix "$MQTT_PREFIX" \
		-- build/poll-client $PORT >&2
	sleep $LAST_MESSAGES_S
	kill $subscriber 2>/dev/null || true
	;;
esac
say "done"
