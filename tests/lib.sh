# lib.sh: checks and lab steps for the shell tests. Source it from bash as a
# test's first step: it holds the test in namespaces that die with it
# (docs/testing.md, "Nothing outlives a test"). A test that sets T_LAB=N runs
# in a lab of N board hosts. Each test ends with t_finish; exit 77 is a skip.

T_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
LAB=${LAB:-$T_HERE/../lab/lab}
T_SKIP_CODE=77
# The test's root runs the system's administration tools (mke2fs, tcpdump),
# which an ordinary user's PATH does not name.
export PATH=$PATH:/usr/sbin:/sbin
T_ARGS=("$@")
# shellcheck source=lab/common.sh
. "$T_HERE/../lab/common.sh"

# t_skip_or_fail REASON: what cannot be had here skips the test, except in
# CI, where it fails.
t_skip_or_fail() {
	if [ "${CI:-}" = "true" ]; then
		echo "FAIL: $1 (CI=true: no test may skip)" >&2
		exit 1
	fi
	echo "SKIP: $1"
	exit $T_SKIP_CODE
}

# t_need GROUP COMMAND..: each COMMAND is on the PATH, or the test cannot
# run here, and says which set-up installs it (tests install nothing).
t_need() {
	local group=$1 cmd
	shift
	for cmd in "$@"; do
		command -v "$cmd" >/dev/null || t_skip_or_fail "$cmd not found (sudo ./scripts/install-deps.sh $group)"
	done
}

# t_enter_lab N: unless in one already, runs this test again from its start
# inside a lab of N board hosts.
t_enter_lab() {
	[ -z "${LAB_CLIENT_NS:-}" ] || return 0
	"$LAB" check || t_skip_or_fail "cannot make a network lab (why: above)"
	exec "$LAB" "$1" bash "$0" "${T_ARGS[@]}"
}

# A test is held where it stands: as PID 1 of a PID namespace of its own, or
# in a lab. Nothing of it is inherited: a test that a test starts holds itself.
if [ -n "${T_LAB:-}" ]; then
	t_enter_lab "$T_LAB"
elif [ $$ -ne 1 ] && [ -z "${LAB_CLIENT_NS:-}" ]; then
	# An ordinary user needs a user namespace of its own for the others, with
	# its subordinate ids, for the labs that the test makes in it.
	T_NAMESPACES=(--mount --pid --fork)
	[ "$(id -u)" -eq 0 ] || T_NAMESPACES=(--map-auto --map-root-user "${T_NAMESPACES[@]}")
	"$LAB" check || t_skip_or_fail "cannot make namespaces (why: above)"
	exec unshare "${T_NAMESPACES[@]}" --propagation private --kill-child --mount-proc -- \
		bash "$0" "$@"
fi

T_PASS=0
T_FAIL=0
# One mount point in the caller's cache for every test, each with a tmpfs of
# its own on it: nothing of the host's is hidden, nothing written to it.
T_DIR=$("$T_HERE/tools/cache.sh" --dir)/scratch
mkdir -p "$T_DIR" || t_skip_or_fail "cannot make $T_DIR"
mount -t tmpfs -o mode=700 test-scratch "$T_DIR" || t_skip_or_fail "cannot mount the test's scratch tmpfs on $T_DIR"
export TMPDIR=$T_DIR
t_pass() { T_PASS=$((T_PASS + 1)); echo "ok: $1"; }
t_fail() { T_FAIL=$((T_FAIL + 1)); echo "FAIL: $1" >&2; }

# t_eq DESC GOT WANT
t_eq() {
	if [ "$2" == "$3" ]; then
		t_pass "$1"
	else
		t_fail "$1"
		printf '  got:  %q\n  want: %q\n' "$2" "$3" >&2
	fi
}

# t_match DESC TEXT ERE
t_match() {
	if printf '%s' "$2" | grep -Eq -- "$3"; then
		t_pass "$1"
	else
		t_fail "$1"
		printf '  text: %q\n  does not match: %s\n' "$2" "$3" >&2
	fi
}

# t_between DESC VALUE LO HI: VALUE is a number from LO to HI; an empty one fails.
t_between() {
	if awk -v v="$2" -v lo="$3" -v hi="$4" 'BEGIN { exit !(v != "" && v + 0 >= lo && v + 0 <= hi) }'; then
		t_pass "$1"
	else
		t_fail "$1"
		printf '  got:  %q\n  want: %s to %s\n' "$2" "$3" "$4" >&2
	fi
}

t_gone() { ! kill -0 "$1" 2>/dev/null; }

# t_wait_exit SECONDS PID: waits for a background child; kills it after SECONDS.
# Sets T_STATUS to its exit status (128+N for signal N).
t_wait_exit() {
	wait_for "$1" t_gone "$2" || kill -KILL "$2" 2>/dev/null
	T_STATUS=0
	wait "$2" || T_STATUS=$?
}

t_finish() {
	echo "$T_PASS passed, $T_FAIL failed"
	[ "$T_FAIL" -eq 0 ]
	exit
}

# t_client ARGS..: the client under test in the lab's client host. Started
# with & (in a subshell), it becomes the client, so that $! is the client.
t_client() {
	[ "$BASHPID" = "$$" ] || exec "$LAB" client "$POLL_CLIENT" "$@"
	"$LAB" client "$POLL_CLIENT" "$@"
}

# t_payloads PCAP [PORT]: each UDP datagram of PCAP as "SECONDS SRC:PORT
# DST:PORT PAYLOAD", the payload as printf %b reads it (DATA\n); with a PORT,
# the seconds between datagrams to that port instead.
t_payloads() {
	if [ $# -eq 1 ]; then
		"$PCAP_UDP" "$1"
		return
	fi
	"$PCAP_UDP" "$1" | awk -v port="$2" '$3 ~ ":" port "$" {
		if (n++) printf "%.6f\n", $1 - t
		t = $1 }'
}

# t_reason ERRNO: the reason that the client's own C library gives for ERRNO.
t_reason() { "$LIBC_REASON" "$1"; }
# t_report LOG KEY: each value that a board's console LOG reported for KEY.
t_report() { sed -n "s/\r\$//; s/^report: $2: //p" "$1"; }
# t_lines FILE: the count of complete lines in FILE.
t_lines() { wc -l <"$1"; }
# t_has_lines FILE N: true when FILE has at least N complete lines (for wait_for).
t_has_lines() { [ "$(wc -l <"$1")" -ge "$2" ]; }

# t_board I PORT LOG ARGS..: board-sim with ARGS on host I, port PORT, its
# stderr in LOG, once it listens; T_BOARD is its pid.
t_board() {
	local i=$1 port=$2 log=$3
	shift 3
	"$LAB" board "$i" "$BOARD_SIM" --port "$port" "$@" 2>"$log" &
	T_BOARD=$!
	"$LAB" listening "$i" "$port" || t_fail "board on host $i, port $port did not start"
}

# t_poll PORT BOARD_LOG BOARD_ARGS..: a board on host 1 (give it a --count)
# and the client, its output in $T_DIR/out and err, until the board ends and
# T_SETTLE_S (0.3 s) more; then SIGINT. Sets T_BOARD_STATUS and T_STATUS.
t_poll() {
	local port=$1 log=$2 board client
	shift 2
	t_board 1 "$port" "$log" "$@"
	board=$T_BOARD
	t_client "$port" >"$T_DIR/out" 2>"$T_DIR/err" &
	client=$!
	t_wait_exit 20 $board
	T_BOARD_STATUS=$T_STATUS
	sleep "${T_SETTLE_S:-0.3}"
	kill -INT $client 2>/dev/null
	t_wait_exit 5 $client
}

# t_sniff HOST PCAP ARGS..: tcpdump with ARGS on board host HOST (or
# "client"), into PCAP, for T_SNIFF_LIMIT_S (30 s), once it captures;
# T_SNIFFER is its pid.
t_sniff() {
	local host=$1 pcap=$2
	shift 2
	local in_host=("$LAB" board "$host")
	[ "$host" = client ] && in_host=("$LAB" client)
	"${in_host[@]}" timeout "${T_SNIFF_LIMIT_S:-30}" tcpdump -i eth0 --immediate-mode -nn -U \
		-w "$pcap" "$@" 2>"$pcap.err" &
	T_SNIFFER=$!
	wait_for 5 grep -q "listening on" "$pcap.err" || t_fail "tcpdump on host $host did not start"
}
