#!/bin/bash
# No growth: the client's resident memory does not change over many cycles
# (native trees only: under qemu-user the process is the emulator).
T_LAB=1
source "$(dirname "$0")/lib.sh"

PORT=5000
EARLY=2000
TOTAL=21000

t_board 1 $PORT /dev/null --name b1 --distance 1.5 --distance 4 --distance 7 --count $TOTAL
board=$T_BOARD
t_client $PORT >"$T_DIR/out" &
client=$!
wait_for 30 t_has_lines "$T_DIR/out" $((EARLY * 2 / 3)) || t_fail "too slow to start"
early=$(proc_status $client VmRSS)
t_wait_exit 120 $board
late=$(proc_status $client VmRSS)
kill -INT $client
t_wait_exit 5 $client
t_eq "$TOTAL cycles ran" "$(t_lines "$T_DIR/out")" $((TOTAL * 2 / 3))
echo "RSS after ~$EARLY cycles: $early; after $TOTAL: $late"
t_eq "RSS unchanged" "$late" "$early"

t_finish
