#!/bin/bash
# Exits of the real binary: the usage line and every failed system call, each
# with its exact message, stream and status, in a network namespace of its
# own with no route, or only a lab subnet that leads nowhere.
# A failed call that a healthy system never makes fail is strace's fault
# injection (under qemu-user, on the emulator's call for the client's).
# Needs POLL_CLIENT, EXEC_EMPTY_ARGV.
source "$(dirname "$0")/lib.sh"
t_need test unshare strace
unshare -n true 2>/dev/null || t_skip_or_fail "cannot create a network namespace"
# LeakSanitizer cannot run under a tracer: off where strace traces.
INJECT=(env ASAN_OPTIONS=detect_leaks=0 strace -qq -f -o /dev/null -e)

# run DESC WANT_STATUS WANT_STDOUT WANT_STDERR CMD..: runs CMD bounded in time.
run() {
	local desc=$1 want_status=$2 want_out=$3 want_err=$4
	shift 4
	"$@" >"$T_DIR/out" 2>"$T_DIR/err" </dev/null &
	t_wait_exit 10 $!
	t_eq "$desc: status" "$T_STATUS" "$want_status"
	t_eq "$desc: stdout" "$(cat "$T_DIR/out")" "$want_out"
	t_eq "$desc: stderr" "$(cat "$T_DIR/err")" "$want_err"
}

# in_dead_end_subnet CMD..: CMD in a fresh namespace whose only route is the
# lab subnet on one end of a veth pair whose other end has no address, so
# that sends succeed and reach no one.
in_dead_end_subnet() {
	unshare -n sh -c 'ip link add v0 type veth peer name v1 &&
		ip addr add 10.3.52.10/24 broadcast 10.3.52.255 dev v0 &&
		ip link set v1 up && ip link set v0 up && exec "$@"' in_dead_end_subnet "$@"
}

CLIENT=$POLL_CLIENT

run "no argument" 1 "usage: $CLIENT port" "" unshare -n "$CLIENT"
run "two arguments" 1 "usage: $CLIENT port" "" unshare -n "$CLIENT" 5000 5001
ln -s "$CLIENT" "$T_DIR/other-name"
run "usage names the invocation" 1 "usage: $T_DIR/other-name port" "" \
	unshare -n "$T_DIR/other-name"
if [ "$POLL_CLIENT_EMULATED" = 0 ]; then
	# Linux since 5.18 hands such a program one empty argument; older kernels
	# hand it none, and the client must not print a null name then either.
	unshare -n "$EXEC_EMPTY_ARGV" "$CLIENT" >"$T_DIR/out" 2>"$T_DIR/err"
	t_eq "no argument vector at all: status" "$?" 1
	t_match "no argument vector at all: usage line" "$(cat "$T_DIR/out")" "^usage: (poll-client)? port\$"
else
	echo "skip: empty argument vector (the emulator needs its own arguments)"
fi

# ENETUNREACH=101, EINVAL=22, EMFILE=24, EACCES=13, ECONNREFUSED=111, as
# worded by the client's own C library.
run "send with no route" 1 "" "Sendto: $(t_reason 101)" unshare -n "$CLIENT" 5000
run "send to port 0" 1 "" "Sendto: $(t_reason 22)" in_dead_end_subnet "$CLIENT" 0
run "non-numeric port is port 0" 1 "" "Sendto: $(t_reason 22)" in_dead_end_subnet "$CLIENT" abc
run "socket with no free descriptor" 1 "" "socket: $(t_reason 24)" \
	unshare -n "${INJECT[@]}" inject=socket:error=EMFILE "$CLIENT" 5000
run "broadcast option refused" 255 "error setting socket options" "" \
	unshare -n "${INJECT[@]}" inject=setsockopt:error=EACCES "$CLIENT" 5000
# The second option, the receive time-out, refused on its own.
run "receive time-out refused" 255 "error setting socket options" "" \
	unshare -n "${INJECT[@]}" inject=setsockopt:error=EACCES:when=2 "$CLIENT" 5000
run "receive fails" 1 "" "recvfrom: $(t_reason 111)" \
	in_dead_end_subnet "${INJECT[@]}" inject=recvfrom:error=ECONNREFUSED "$CLIENT" 5000

t_finish
