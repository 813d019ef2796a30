# common.sh: the POSIX sh helpers that the host's tests and the emulated
# boards' own scripts share (BusyBox's sh and dash included). Source it.

# Seconds between two tries of a wait; an emulated board sets more, as each
# try costs it much more.
WAIT_STEP_S=${WAIT_STEP_S:-0.05}

# wait_for SECONDS CMD..: runs CMD, its stderr dropped, until it succeeds;
# false once SECONDS have passed by the kernel's clock (/proc/uptime, read
# without a process of its own).
wait_for() {
	read -r _now _ </proc/uptime
	_end=$((${_now%.*} + $1 + 1))
	shift
	until "$@" 2>/dev/null; do
		read -r _now _ </proc/uptime
		[ "${_now%.*}" -lt "$_end" ] || return 1
		sleep "$WAIT_STEP_S"
	done
}

# in_first_userns: true in the machine's own user namespace, whose map is
# every id to itself; false in any other, even as its root.
in_first_userns() {
	read -r _inner _outer _count </proc/self/uid_map
	[ "$_inner $_outer $_count" = "0 0 4294967295" ]
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

# report KEY [VALUE..]: one finding of an emulated board, on its console, as
# the line "report: KEY: VALUE" that the host reads back by KEY (t_report).
report() {
	_key=$1
	shift
	echo "report: $_key: $*"
}
