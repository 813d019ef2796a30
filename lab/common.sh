# common.sh: the POSIX sh helpers that the host's tests and the emulated
# boards' own scripts share (BusyBox's sh and dash included): one bounded
# wait, one reader of /proc, one parse of the detection line. Source it.

# Seconds between two tries of a wait.
WAIT_STEP_S=0.05
WAIT_STEPS_PER_S=20

# wait_for SECONDS CMD..: runs CMD, its stderr dropped, until it succeeds;
# false once about SECONDS have passed (counted in steps: no clock needed).
wait_for() {
	_steps=$(($1 * WAIT_STEPS_PER_S))
	shift
	until "$@" 2>/dev/null; do
		[ "$_steps" -gt 0 ] || return 1
		_steps=$((_steps - 1))
		sleep $WAIT_STEP_S
	done
}

# proc_status PID FIELD: the value of FIELD (VmRSS, VmHWM, Uid..) in
# /proc/PID/status, as the kernel writes it ("1234 kB"; Uid's four ids).
proc_status() {
	sed -n "s/^$2:[[:space:]]*//p" "/proc/$1/status"
}

# detections: each detection line on stdin as "BOARD DISTANCE"; other lines
# are dropped.
detections() {
	sed -n 's/^Object is detected \([^ ]*\) meters away from board \(.*\)\.$/\2 \1/p'
}
