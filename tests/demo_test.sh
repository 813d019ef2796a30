#!/bin/bash
# The demo, as a newcomer runs it: piped into head, redirected to a file, and
# interrupted; each time it must show detection lines, and nothing of it may
# be left once it has ended.
source "$(dirname "$0")/lib.sh"
DEMO="$T_HERE/../scripts/demo.sh"

# left: the demo's boards and clients that still run.
left() { pgrep -fc "board-sim --name (north|east|gate)|poll-client 5000"; }

"$DEMO" 5 2>"$T_DIR/err" | head -3 >"$T_DIR/out"
t_eq "piped into head: three lines" "$(grep -c '^Object is detected [0-9.]* meters away from board [a-z]*\.$' "$T_DIR/out")" 3
t_eq "piped into head: nothing left" "$(left)" 0

"$DEMO" 3 >"$T_DIR/out" 2>"$T_DIR/err"
t_eq "redirected: status 0" "$?" 0
t_match "redirected: detection lines" "$(head -1 "$T_DIR/out")" "^Object is detected [0-9.]+ meters away from board"
t_eq "redirected: nothing left" "$(left)" 0

# In a process group of its own, as at a terminal, for Ctrl-C to reach it all.
set -m
env --default-signal=INT "$DEMO" 60 >"$T_DIR/out" 2>"$T_DIR/err" &
demo=$!
set +m
wait_for 30 t_has_lines "$T_DIR/out" 1 || t_fail "demo did not start"
t_eq "interrupted: its boards and client run" "$(left)" 4
kill -INT -- -$demo
t_wait_exit 10 $demo
t_eq "interrupted: status 130" "$T_STATUS" 130
t_eq "interrupted: nothing left" "$(left)" 0

t_finish
