#!/bin/bash
# Nothing outlives a lab test: lab_timeout, its client and capture up, is
# killed by SIGKILL, as CTest ends a test past its time-out, and no process,
# namespace, mount or interface of it is left. And a held test sees the
# host's /run, into which a name server's /etc/resolv.conf may link.
HOST_RUN=${HOST_RUN:-$(stat -c %d:%i /run)}
export HOST_RUN
source "$(dirname "$0")/lib.sh"
t_eq "the test sees the host's /run" "$(stat -c %d:%i /run)" "$HOST_RUN"
# Seconds the kernel may take to reap a dead namespace's processes.
REAP_LIMIT_S=2

# ns_inode PID KIND: the namespace of KIND that process PID is in.
ns_inode() { readlink "/proc/$1/ns/$2" 2>/dev/null; }

# holders KIND NS..: the processes in any of the namespaces NS of KIND.
holders() {
	local kind=$1 p
	shift
	for p in /proc/[0-9]*; do
		case " $* " in *" $(ns_inode "${p#/proc/}" "$kind") "*) echo "${p#/proc/}" ;; esac
	done
}

# victim_running: its lab holds a capture and the client among three
# processes or more, and something runs in three of its networks or more (the
# switch, the client host, a board host); sets PID_NS, MNT_NS and NET_NS.
victim_running() {
	local lab_init p
	lab_init=$(pgrep -P "$victim") || return 1
	PID_NS=$(ns_inode "$lab_init" pid) MNT_NS=$(ns_inode "$lab_init" mnt)
	[ "$PID_NS" != "$(ns_inode $$ pid)" ] || return 1
	local pids
	pids=$(holders pid "$PID_NS")
	[ "$(echo "$pids" | wc -w)" -ge 3 ] || return 1
	# shellcheck disable=SC2086  # pids, one word each
	ps -o comm= -p "$(echo $pids | tr ' ' ,)" | grep -q tcpdump || return 1
	ps -o comm= -p "$(echo $pids | tr ' ' ,)" | grep -q poll-client || return 1
	NET_NS=$(for p in $pids; do ns_inode "$p" net; done | sort -u | tr '\n' ' ')
	[ "$(echo "$NET_NS" | wc -w)" -ge 3 ]
}

links_before=$(ip -o link show | cut -d: -f2 | sort | tr '\n' ' ')
netns_before=$(ip netns list)
bash "$T_HERE/lab_timeout_test.sh" >"$T_DIR/victim.log" 2>&1 &
victim=$!
wait_for 20 victim_running || t_fail "the victim's lab did not come up"
kill -KILL $victim
wait $victim 2>/dev/null

# gone: no process is left in the victim's PID, mount or network namespaces.
gone() { [ -z "$(holders pid "$PID_NS"; holders mnt "$MNT_NS"; holders net $NET_NS)" ]; }
wait_for $REAP_LIMIT_S gone
t_eq "no process of it is left" "$(holders pid "$PID_NS")" ""
t_eq "nothing holds its mounts" "$(holders mnt "$MNT_NS")" ""
# shellcheck disable=SC2086  # one namespace a word
t_eq "nothing holds its networks" "$(holders net $NET_NS)" ""
t_eq "the host has no new interface" "$(ip -o link show | cut -d: -f2 | sort | tr '\n' ' ')" "$links_before"
t_eq "the host has no new named namespace" "$(ip netns list)" "$netns_before"

t_finish
