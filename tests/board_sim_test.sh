#!/bin/bash
# board-sim's command line: help, and a one-line error with status 2 for
# every bad option or value. Nothing here opens a socket.
source "$(dirname "$0")/lib.sh"

"$BOARD_SIM" --help >"$T_DIR/out" 2>&1
t_eq "--help: status" "$?" 0
t_match "--help: usage text" "$(head -1 "$T_DIR/out")" "^usage: board-sim"

bad=(
	"--bogus"
	"--name"
	"--name a\ b"
	"--port 0"
	"--port 65536"
	"--port 12ab"
	"--delay -1"
	"--count x"
	"--ignore 0"
	"--moving 5,1,3"
	"--moving 1,2"
	"--moving 1,2,0"
	"--reply-hex abc"
	"--reply-hex zz"
	"--distance 1 --moving 1,2,3"
)
for args in "${bad[@]}"; do
	eval "set -- $args"
	"$BOARD_SIM" "$@" >"$T_DIR/out" 2>"$T_DIR/err" </dev/null
	t_eq "$args: status 2, one line on stderr" "$? $(grep -c '^board-sim: ' "$T_DIR/err") $(t_lines "$T_DIR/err")" "2 1 1"
done

t_finish
