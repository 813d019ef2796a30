#!/bin/bash
# Hostile and odd datagrams through the real client: never a crash, the text
# always cut inside the 100-byte buffer, and polling goes on after each one.
source "$(dirname "$0")/lib.sh"
t_lab_up 1

PORT=5000
hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'; }
repeat() { printf "%$2s" "" | tr ' ' "$1"; }

name97=$(repeat n 97)
line() { echo "Object is detected $1 meters away from board $2."; }

# Each reply (as hex), and the line it must give ("" for none). Sent in this
# order, one per request, so that the output is compared as a whole.
replies=(
	"$(hex "$name97 39$(repeat 9 50)")"   # 150 bytes: cut to 99, "...n 3"
	"$(hex "$name97 39")"                # exactly 100 bytes, no zero byte
	"$(hex "$name97 3")"                 # 99 bytes: all of it fits
	"$(hex "b2 1.5")00$(hex " b3 4.5")"   # an early zero byte ends the text
	""                                    # empty datagram
	"$(hex "b 3")"                        # shorter than the request was
	"$(hex "b7")09$(hex "1.5")"           # tab, not space: no distance word
	"ff00fe7f0a0d2020"                    # bytes of no meaning
	"$(hex "%s%n 2")"                     # a name that looks like a format
	"$(hex "last 4")"                     # polling went on to the end
)
want=$(
	line 3.000000 "$name97"
	line 3.000000 "$name97"
	line 3.000000 "$name97"
	line 1.500000 b2
	line 3.000000 b
	line 2.000000 '%s%n'
	line 4.000000 last
)

args=()
for r in "${replies[@]}"; do
	args+=(--reply-hex "$r")
done
t_poll $PORT "$T_DIR/board.err" --count ${#replies[@]} "${args[@]}"
t_eq "board answered every request" "$T_BOARD_STATUS" 0
t_eq "client still alive after every datagram" "$T_ALIVE" alive
t_eq "stopped by SIGINT, not by a crash" "$T_STATUS" 130
t_eq "lines cut inside the buffer, nothing from bad replies" "$(cat "$T_DIR/out")" "$want"
t_eq "nothing on stderr" "$(cat "$T_DIR/err")" ""

t_finish
