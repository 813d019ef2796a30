#!/bin/bash
# poll-events running the real client against board-sim: a near for each
# board, a gone on time when no line comes at all, names' bytes recoverable
# from JSON, a name with a line feed no event, and the client's end as
# poll-events' own (status, signal, a SIGTERM passed on).
T_LAB=2
source "$(dirname "$0")/lib.sh"
PORT=5000
HOLD_S=1
# Seconds by which an event's time, taken as it is written, may follow the
# reading of its line: the near's lag shortens the gone's measured delay.
STAMP_LAG_S=0.05
# Replies of the board that then falls silent.
REPLIES=20

# Both boards answer a few requests, then never again: no line comes after.
# The second's name is bytes that no text shows (0xff 0x01), or has a line
# feed, in turn.
t_board 1 $PORT /dev/null --name gate --distance 1.5 --count $REPLIES --delay 10
gate=$T_BOARD
t_board 2 $PORT /dev/null --reply-hex ff0120322e35 --reply-hex 610a6220322e35 --count 6 --delay 10
"$LAB" client "$POLL_EVENTS" --json --hold $HOLD_S -- "$POLL_CLIENT" $PORT >"$T_DIR/events" 2>"$T_DIR/err" &
events=$!
t_wait_exit 10 $gate
t_wait_exit 10 "$T_BOARD"
gones() { [ "$(grep -c '"event":"gone"' "$T_DIR/events")" -ge 2 ]; }
wait_for 10 gones || t_fail "no gone while no line came"
kill -TERM $events
t_wait_exit 5 $events
t_eq "a SIGTERM passed on: it ends by it, as the client" "$T_STATUS" $((128 + 15))
cat "$T_DIR/err"

# Each event as "EVENT BOARD-BYTES-IN-HEX", \u00XX read back as byte XX.
summary=$(python3 -c '
import json, sys
for line in open(sys.argv[1]):
    e = json.loads(line)
    print(e["event"], e["board"].encode("latin-1").hex())' "$T_DIR/events")
t_eq "each board near once, then gone; nothing of the name with a line feed" \
	"$(printf '%s\n' "$summary" | sort | uniq -c | awk '{ print $1, $2, $3 }')" \
	"$(printf '1 gone 67617465\n1 gone ff01\n1 near 67617465\n1 near ff01')"
# From gate's near to its gone, less its time near: from its last line.
gone_after=$(python3 -c '
import json, sys, datetime
t = {}
for line in open(sys.argv[1]):
    e = json.loads(line)
    if e["board"] == "gate":
        t[e["event"]] = (datetime.datetime.fromisoformat(e["time"].replace("Z", "+00:00")), e.get("near_s", 0))
print((t["gone"][0] - t["near"][0]).total_seconds() - t["gone"][1])' "$T_DIR/events")
t_between "gate's gone comes the hold after its last line, with no line after it" "$gone_after" \
	"$(awk -v h=$HOLD_S -v l=$STAMP_LAG_S 'BEGIN { print h - l }')" $((HOLD_S + 1))
t_match "the lines that are no detection line counted" "$(cat "$T_DIR/err")" \
	'poll-events: [0-9]+ lines, [1-9][0-9]* not detection lines, 0 of boards not named, 0 boards put out past the 64 tracked'

# The client's own end: its exit status, or its signal.
"$POLL_EVENTS" -- sh -c 'echo "Object is detected 1.500000 meters away from board gate."; exit 3' >"$T_DIR/out" 2>/dev/null
t_eq "the command's status is its own, its near gone at the end" "$? $(cut -d' ' -f2 "$T_DIR/out" | tr '\n' ' ')" \
	"3 near gone "
"$POLL_EVENTS" -- sh -c 'kill -KILL $$' 2>/dev/null
t_eq "the command's signal is its own" $? $((128 + 9))
t_finish
