#!/bin/bash
# demo.sh [SECONDS]: poll-client against three simulated boards with moving
# objects, in an isolated network lab, for SECONDS (default 15) or until
# Ctrl-C. Detection lines go to stdout, everything else to stderr, so the
# demo can be piped or redirected. Needs root (network namespaces).
set -uo pipefail
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

./scripts/install-deps.sh demo || exit 1
say "building (up to date after the first time)"
# The demo needs no tests; a tree that the test command set up keeps its own.
tests=()
[ -e build/CMakeCache.txt ] || tests=(-DPOLL_CLIENT_TESTS=OFF)
{ cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${tests[@]}" >/dev/null &&
	cmake --build build -j "$(nproc)" >/dev/null; } || { say "build failed"; exit 1; }

source lab/lab.sh
lab_up 3 || exit 1
say "lab $LAB_ID: client 10.3.52.10, boards 10.3.52.21-23, no route outside"

# Objects that come from far away to near and go back, each at its own pace.
lab_board 1 build/board-sim --name north --port $PORT --moving 0.5,8,9 --delay $REPLY_DELAY_MS &
lab_board 2 build/board-sim --name east --port $PORT --moving 1.2,7,13 --delay $REPLY_DELAY_MS &
lab_board 3 build/board-sim --name gate --port $PORT --moving 0.2,6,6 --delay $REPLY_DELAY_MS &
for i in 1 2 3; do
	lab_wait_listening $i $PORT || say "board $i is slow to start"
done

say "poll-client $PORT for $DURATION s (Ctrl-C stops it); lines appear while an object is within 5 m"
lab_client_exec build/poll-client $PORT &
client=$!
end=$((SECONDS + DURATION))
while [ $SECONDS -lt $end ] && kill -0 $client 2>/dev/null; do
	sleep 0.2
done
kill -INT $client 2>/dev/null
wait $client 2>/dev/null
lab_down && say "lab removed"
