#!/bin/bash
# The demo, as a newcomer runs it: piped into head, redirected to a file, and
# interrupted; each time it must show detection lines and leave no lab behind.
source "$(dirname "$0")/lib.sh"
DEMO="$T_HERE/../scripts/demo.sh"

labs() { ip netns list | grep -c "^pclab-$1-" ; }

"$DEMO" 5 2>"$T_DIR/err" | head -3 >"$T_DIR/out"
t_eq "piped into head: three lines" "$(grep -c '^Object is detected [0-9.]* meters away from board [a-z]*\.$' "$T_DIR/out")" 3

"$DEMO" 3 >"$T_DIR/out" 2>"$T_DIR/err"
t_eq "redirected: status 0" "$?" 0
t_match "redirected: detection lines" "$(head -1 "$T_DIR/out")" "^Object is detected [0-9.]+ meters away from board"
t_match "redirected: cleaned up" "$(cat "$T_DIR/err")" "lab removed"

env --default-signal=INT "$DEMO" 60 >"$T_DIR/out" 2>"$T_DIR/err" &
demo=$!
t_wait 20 grep -q "poll-client 5000" "$T_DIR/err" || t_fail "demo did not start"
t_eq "interrupted: its lab is up" "$(labs $demo)" 5
kill -INT $demo
t_wait_exit 10 $demo
t_eq "interrupted: status 130" "$T_STATUS" 130
t_eq "interrupted: no namespace left" "$(labs $demo)" 0
t_eq "interrupted: no process left" "$(pgrep -fc "board-sim --name (north|east|gate)")" 0

t_finish
