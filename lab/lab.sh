# lab.sh: an isolated network of namespaces for running poll-client safely.
#
# Source it from bash. poll-client always broadcasts to 10.3.52.255; here that
# subnet exists only inside namespaces this file creates, joined by a bridge
# in a namespace of its own, with no route anywhere else. The root namespace
# gets no interface at all.
#
#   lab_up N            client 10.3.52.10/24 and boards 10.3.52.21.. (N of them)
#   lab_board I CMD..   run CMD in board host I (1..N)
#   lab_wait_listening I PORT  wait (5 s at most) until UDP PORT is bound in host I
#   lab_client_exec CMD..  replace this shell by CMD in the client host, the
#                       only place for poll-client: start it with & or in ( )
#   lab_down            kill what runs in the lab, delete it, check nothing is left
#   lab_reap_stale      remove every lab whose owner is gone (lab_up does it first)
#
# lab_up installs a trap that calls lab_down on exit, error and interrupt. A
# SIGKILL leaves no time for a trap, so every lab records its owner (the
# sourcing shell, by pid and start time) in LAB_OWNERS, and the next lab_up
# anywhere on the machine removes the labs of owners that are gone.

LAB_SUBNET_PREFIX=10.3.52
LAB_CLIENT_IP=$LAB_SUBNET_PREFIX.10
LAB_BOARD_IP_BASE=20          # board I gets .(20+I)
LAB_MAX_BOARDS=50
LAB_NAME_PREFIX=pclab
# On tmpfs, as the namespaces' own mount points: both go at a reboot.
LAB_OWNERS=/run/poll-client-lab

LAB_ID=""
LAB_CLIENT=""
LAB_SWITCH=""
LAB_BOARDS=()

lab_fail() {
	echo "lab: $*" >&2
	return 1
}

# lab_ns_create NS: adds the namespace with loopback up and IPv6 off (no
# router or neighbour chatter in captures).
lab_ns_create() {
	ip netns add "$1" || return 1
	ip -n "$1" link set lo up || return 1
	ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
		net.ipv6.conf.default.disable_ipv6=1 >/dev/null || return 1
}

# lab_host_attach NS PORT IP: joins NS to the bridge by a veth pair made
# inside the lab, and gives it IP on the lab subnet.
lab_host_attach() {
	local ns=$1 port=$2 ip_addr=$3
	ip -n "$LAB_SWITCH" link add "$port" type veth peer name eth0 netns "$ns" || return 1
	ip -n "$LAB_SWITCH" link set "$port" master br0 up || return 1
	ip -n "$ns" addr add "$ip_addr/24" broadcast "$LAB_SUBNET_PREFIX.255" dev eth0 || return 1
	ip -n "$ns" link set eth0 up || return 1
}

# lab_proc_field PID N: field N of /proc/PID/stat, counted after the command
# name (which may hold spaces): 1 is the state, 20 the start time in clock
# ticks since boot, which tells a process from a later one with its pid.
# Empty if there is no such process.
lab_proc_field() {
	local stat n=$2
	stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
	set -- ${stat##*) }
	echo "${!n}"
}

# lab_owner_alive ID: true while the process that made lab ID still runs.
lab_owner_alive() {
	local pid start
	if read -r pid start 2>/dev/null <"$LAB_OWNERS/$1"; then
		[ -n "$start" ] && [ "$(lab_proc_field "$pid" 20)" = "$start" ]
	else
		# A lab from before owners were recorded: the pid in its name.
		pid=${1#"$LAB_NAME_PREFIX"-}
		kill -0 "${pid%%-*}" 2>/dev/null
	fi
}

# lab_running PID..: prints those of the PIDs that still run (not zombies).
lab_running() {
	local pid state
	for pid in "$@"; do
		state=$(lab_proc_field "$pid" 1)
		[ -z "$state" ] || [ "$state" = Z ] || echo "$pid"
	done
}

# lab_remove ID: kills every process in lab ID's namespaces, then deletes them
# (their interfaces go with them) and its owner record.
lab_remove() {
	local ns pids="" _
	for ns in $(ip netns list | awk '{print $1}' | grep "^$1-"); do
		pids="$pids $(ip netns pids "$ns" 2>/dev/null | tr '\n' ' ')"
	done
	[ -z "${pids// /}" ] || kill -KILL $pids 2>/dev/null
	# A SIGKILL takes effect a little later: wait (2 s at most) until they have died.
	for _ in $(seq 100); do
		[ -n "$(lab_running $pids)" ] || break
		sleep 0.02
	done
	for ns in $(ip netns list | awk '{print $1}' | grep "^$1-"); do
		ip netns del "$ns" 2>/dev/null
	done
	rm -f "$LAB_OWNERS/$1"
}

lab_reap_stale() {
	local id
	for id in $({ ip netns list | awk '{print $1}' |
		sed -n "s/^\($LAB_NAME_PREFIX-[0-9]*-[0-9]*\)-.*/\1/p"; ls "$LAB_OWNERS" 2>/dev/null; } | sort -u); do
		lab_owner_alive "$id" && continue
		echo "lab: removing $id, whose owner is gone" >&2
		lab_remove "$id"
	done
}

lab_up() {
	local n=${1:-1} i
	[ "$(id -u)" -eq 0 ] || { lab_fail "needs root (network namespaces)"; return 1; }
	command -v ip >/dev/null || { lab_fail "ip (iproute2) not found"; return 1; }
	[ "$n" -ge 1 ] && [ "$n" -le "$LAB_MAX_BOARDS" ] || { lab_fail "1 to $LAB_MAX_BOARDS boards"; return 1; }
	LAB_ID=$LAB_NAME_PREFIX-$$-$RANDOM$RANDOM
	LAB_SWITCH=$LAB_ID-sw
	LAB_CLIENT=$LAB_ID-c
	LAB_BOARDS=()
	lab_reap_stale
	mkdir -p "$LAB_OWNERS" && echo "$$ $(lab_proc_field $$ 20)" >"$LAB_OWNERS/$LAB_ID" ||
		{ lab_fail "cannot record the owner in $LAB_OWNERS"; return 1; }
	trap 'lab_down' EXIT
	trap 'lab_down; exit 130' INT
	trap 'lab_down; exit 143' TERM
	trap 'lab_down; exit 129' HUP

	lab_ns_create "$LAB_SWITCH" || { lab_down; return 1; }
	ip -n "$LAB_SWITCH" link add br0 type bridge || { lab_down; return 1; }
	ip -n "$LAB_SWITCH" link set br0 up || { lab_down; return 1; }
	lab_ns_create "$LAB_CLIENT" || { lab_down; return 1; }
	lab_host_attach "$LAB_CLIENT" c0 "$LAB_CLIENT_IP" || { lab_down; return 1; }
	for ((i = 1; i <= n; i++)); do
		LAB_BOARDS+=("$LAB_ID-b$i")
		lab_ns_create "$LAB_ID-b$i" || { lab_down; return 1; }
		lab_host_attach "$LAB_ID-b$i" "b$i" "$LAB_SUBNET_PREFIX.$((LAB_BOARD_IP_BASE + i))" ||
			{ lab_down; return 1; }
	done
	lab_check_isolated || { lab_down; return 1; }
}

# lab_board_ip I: the address of board host I.
lab_board_ip() {
	echo "$LAB_SUBNET_PREFIX.$((LAB_BOARD_IP_BASE + $1))"
}

# lab_check_isolated: the client's only IPv4 route is the lab subnet's, on
# the lab's own interface; no default route, nothing that leads out.
lab_check_isolated() {
	local routes
	routes=$(ip -n "$LAB_CLIENT" -4 route show table main)
	if [ "$routes" != "$LAB_SUBNET_PREFIX.0/24 dev eth0 proto kernel scope link src $LAB_CLIENT_IP " ] &&
	    [ "$routes" != "$LAB_SUBNET_PREFIX.0/24 dev eth0 proto kernel scope link src $LAB_CLIENT_IP" ]; then
		lab_fail "client namespace $LAB_CLIENT is not isolated: $routes"
		return 1
	fi
}

lab_board() {
	local i=$1
	shift
	[ -n "$LAB_ID" ] && [ "$i" -ge 1 ] && [ "$i" -le "${#LAB_BOARDS[@]}" ] ||
		{ lab_fail "no board host $i"; return 1; }
	# In a subshell (as with &), become the command: $! is then the command
	# itself, and its death by a signal is not reported by a waiting shell.
	if [ "$BASHPID" != "$$" ]; then
		exec ip netns exec "${LAB_BOARDS[$((i - 1))]}" "$@"
	fi
	ip netns exec "${LAB_BOARDS[$((i - 1))]}" "$@"
}

# lab_wait_listening I PORT: waits, 5 s at most, until something listens on
# UDP PORT in board host I; fails if nothing does by then.
lab_wait_listening() {
	local _
	for _ in $(seq 250); do
		lab_board "$1" ss -Huln "sport = :$2" | grep -q . && return 0
		sleep 0.02
	done
	return 1
}

# lab_client_exec CMD..: the one way to start poll-client. It refuses unless
# the lab's client namespace exists and is still isolated. It execs, so that
# $! of "lab_client_exec ... &" is the command itself; signals get their
# default action back, so that a background client can be stopped by SIGINT.
lab_client_exec() {
	[ -n "$LAB_CLIENT" ] && ip netns list | grep -q "^$LAB_CLIENT\b" ||
		{ lab_fail "refusing to run '$1': no lab client namespace"; return 1; }
	lab_check_isolated || { lab_fail "refusing to run '$1'"; return 1; }
	exec ip netns exec "$LAB_CLIENT" env --default-signal=INT,QUIT,TERM "$@"
}

# lab_down: stops every process in the lab's namespaces, deletes them and
# checks that none is left. Safe to call more than once.
lab_down() {
	local ns pid left killed=""
	[ -n "$LAB_ID" ] || return 0
	for ns in $(ip netns list | awk '{print $1}' | grep "^$LAB_ID-"); do
		killed="$killed $(ip netns pids "$ns" 2>/dev/null | tr '\n' ' ')"
	done
	# Our own background jobs among them are let go first, so that the shell
	# does not report each as "Killed".
	for pid in $(jobs -p); do
		case " $killed " in *" $pid "*) disown "$pid" 2>/dev/null ;; esac
	done
	lab_remove "$LAB_ID"
	left=$(ip netns list | awk '{print $1}' | grep "^$LAB_ID-")
	LAB_ID=""
	if [ -n "$left" ]; then
		lab_fail "left behind: $left"
		return 1
	fi
}
