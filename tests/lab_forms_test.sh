#!/bin/bash
# Every reply form of reply_forms.txt through the real binary, one datagram
# per request: the C library's own number conversion and formatting (glibc
# or musl, on whatever CPU) must give the same bytes as the table.
T_LAB=1
source "$(dirname "$0")/lib.sh"

PORT=5000
args=() want=""
while IFS= read -r row; do
	case $row in '#'*) continue ;; esac
	reply=${row%%$'\t'*} rest=${row#*$'\t'}
	args+=(--reply-hex "$(printf '%b' "$reply" | od -An -v -tx1 | tr -d ' \n')")
	[ "$rest" = - ] ||
		want+=$(printf 'Object is detected %s meters away from board %b.\nx' "${rest%%$'\t'*}" "${rest#*$'\t'}")
	want=${want%x}
done <"$T_HERE/reply_forms.txt"

t_poll $PORT "$T_DIR/board.err" --count $((${#args[@]} / 2)) "${args[@]}"
t_eq "board answered every form" "$T_BOARD_STATUS" 0
t_eq "stopped by SIGINT only" "$T_STATUS" 130
t_eq "the lines, byte for byte" "$(od -c "$T_DIR/out")" "$(printf '%s' "$want" | od -c)"
t_eq "nothing on stderr" "$(cat "$T_DIR/err")" ""

t_finish
