#!/bin/bash
# demo.sh [SECONDS]: poll-client against three simulated boards with moving
# objects, in a network lab of its own (lab/lab), for SECONDS (default 15) or
# until Ctrl-C. Detection lines go to stdout, everything else to stderr, so
# the demo can be piped or redirected. Runs as any user; only what
# install-deps.sh installs needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

DURATION=${1:-15}
PORT=5000
# Each board answers at most once per REPLY_DELAY_MS, which paces the demo:
# the client itself polls again at once after every reply.
REPLY_DELAY_MS=400

say() { echo "demo: $*" >&2; }

case $DURATION in
'' | *[!0-9]*) say "usage: demo.sh [SECONDS]"; exit 2 ;;
esac

if [ -z "${LAB_CLIENT_NS:-}" ]; then
	./scripts/install-deps.sh demo
	say "building (up to date after the first time)"
	# The demo needs no tests; a tree that the test command set up keeps its own.
	tests=()
	[ -e build/CMakeCache.txt ] || tests=(-DPOLL_CLIENT_TESTS=OFF)
	{ cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${tests[@]}" >/dev/null &&
		cmake --build build -j "$(nproc)" >/dev/null; } || { say "build failed"; exit 1; }
	# The lab, and all that runs in it, ends with this process, however it ends.
	exec lab/lab 3 "$0" "$DURATION"
fi

say "lab: client $LAB_CLIENT_IP, boards ${LAB_BOARD_IPS// /, }; no route outside"
# Objects that come from far away to near and go back, each at its own pace.
"$LAB" board 1 build/board-sim --name north --port $PORT --moving 0.5,8,9 --delay $REPLY_DELAY_MS &
"$LAB" board 2 build/board-sim --name east --port $PORT --moving 1.2,7,13 --delay $REPLY_DELAY_MS &
"$LAB" board 3 build/board-sim --name gate --port $PORT --moving 0.2,6,6 --delay $REPLY_DELAY_MS &
for i in 1 2 3; do
	"$LAB" listening $i $PORT || { say "board $i did not start"; exit 1; }
done

say "poll-client $PORT for $DURATION s (Ctrl-C stops it); lines appear while an object is within 5 m"
"$LAB" client build/poll-client $PORT &
client=$!
end=$((SECONDS + DURATION))
while [ $SECONDS -lt $end ] && kill -0 $client 2>/dev/null; do
	sleep 0.2
done
kill -INT $client 2>/dev/null || true
wait $client 2>/dev/null || true
say "done"
