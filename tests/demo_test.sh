#!/bin/bash
# The demo, as a newcomer runs it: piped into head, redirected to a file, and
# interrupted; each time it must show detection lines.
source "$(dirname "$0")/lib.sh"
DEMO="$T_HERE/../scripts/demo.sh"

# left: the demo's boards and clients that run.
left() { pgrep -fc "board-sim --name (north|east|gate)|poll-client 5000"; }

"$DEMO" 5 2>"$T_DIR/err" | head -3 >"$T_DIR/out"
t_eq "piped into head: three lines" "$(detections <"$T_DIR/out" | grep -c -E '^(north|east|gate) ')" 3

"$DEMO" 3 >"$T_DIR/out" 2>"$T_DIR/err"
t_eq "redirected: status 0" "$?" 0
t_match "redirected: detection lines" "$(head -n 1 "$T_DIR/out" | detections)" '^(north|east|gate) [0-9.]+$'

# Each mode shows what the README shows: an event, and a board's discovery.
"$DEMO" --events 8 >"$T_DIR/out" 2>"$T_DIR/err"
t_match "--events: a near" "$(grep -m 1 ' near ' "$T_DIR/out")" '^[0-9-]+T[0-9:.]+Z near (north|east|gate) [0-9.]+$'
"$DEMO" --mqtt 5 >"$T_DIR/out" 2>"$T_DIR/err"
t_match "--mqtt: a board's discovery" "$(grep -m 1 '/presence/config ' "$T_DIR/out")" \
	'^homeassistant/binary_sensor/poll-client_lab_5000_(north|east|gate)/presence/config \{"name":"Presence",'

# In a process group of its own, as at a terminal, for Ctrl-C to reach it all.
set -m
# A file of its own: the child opens it after the fork, and the wait below
# must not find the lines of the run before.
env --default-signal=INT "$DEMO" 60 >"$T_DIR/interrupted" 2>"$T_DIR/err" &
demo=$!
set +m
wait_for 30 t_has_lines "$T_DIR/interrupted" 1 || t_fail "demo did not start"
t_eq "interrupted: its boards and client run" "$(left)" 4
kill -INT -- -$demo
t_wait_exit 10 $demo
t_eq "interrupted: status 130" "$T_STATUS" 130

t_finish
