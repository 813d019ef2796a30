#!/bin/bash
# bench/run.sh [measure [SECTION..] | report]: measures poll-client in the lab
# against a bare loop of send and receive, and writes the tables to
# bench/RESULTS.md (and stdout). Figures only: nothing here passes or fails.
# Needs root (the lab).
#
#   bench/run.sh                     measure every section, then report
#   bench/run.sh measure rates       measure one section (or several) alone
#   bench/run.sh report              write the report from what was measured
#
# Measuring writes raw figures into DATA, one folder per section; the report
# reads only those. A figure that a section has not measured, or a function
# missing from callgrind's output, stops the script with a message naming it:
# no table is ever written with a figure it does not have.
set -uo pipefail
cd "$(dirname "$0")/.."
REPS=${REPS:-9}     # interleaved repetitions of each rate measurement
WINDOW_S=2          # seconds counted per rate measurement
WARMUP_S=0.5
PORT=5000
CPU=0               # client and board share it: the rate is then a CPU cost
N1=${N1:-2000} N2=${N2:-6000}   # cycle counts of the two instruction-count runs
RESULTS=${RESULTS:-bench/RESULTS.md}
DATA=${BENCH_DATA:-/var/tmp/poll-client-bench}
ALL_SECTIONS="rates instructions syscalls startup boards"

log() { echo "bench: $*" >&2; }
die() {
	log "$*"
	exit 1
}

# need SECTION FILE: the contents of a figure that SECTION measures; stops
# the report when it is missing.
need() {
	local hint="bench/run.sh measure"
	[ "$1" = host ] || hint="$hint $1"
	[ -s "$DATA/$1/$2" ] || die "no figure '$2' of section '$1' in $DATA: run '$hint' first"
	cat "$DATA/$1/$2"
}

# udp NS FIELD: a UDP counter of /proc/net/snmp in namespace NS.
udp() {
	ip netns exec "$1" awk -v f="$2" '/^Udp:/ { if (!n++) { for (i = 1; i <= NF; i++) h[i] = $i }
		else for (i = 1; i <= NF; i++) if (h[i] == f) print $i }' /proc/net/snmp
}

board_up() {   # board_up I ARGS..: board-sim on host I; waits until it listens
	local i=$1
	shift
	lab_board "$i" "$BOARD" --port $PORT "$@" &
	lab_wait_listening "$i" $PORT || log "board $i did not start"
}

stop() {   # stop PID..: interrupt (the client's way out) or terminate (a board's), and reap
	local pid
	kill -INT "$@" 2>/dev/null
	sleep 0.05
	kill -TERM "$@" 2>/dev/null
	for pid in "$@"; do wait "$pid" 2>/dev/null; done
}

# wait_board PID: waits, bounded, for a counting board to end, which shows
# that the client has taken its last reply.
wait_board() {
	for _ in $(seq 3000); do
		kill -0 "$1" 2>/dev/null || return 0
		sleep 0.05
	done
	log "board $1 did not end"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
spread() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%d-%d", lo, hi }'; }

# rate PROG MODE: cycles per second of PROG, pinned with its board to one CPU.
# Modes: null (lines to /dev/null), file (lines to a file), silent (out of range).
rate() {
	local prog=$1 mode=$2 distance=1.5 sink=/dev/null
	[ "$mode" = silent ] && distance=9
	[ "$mode" = file ] && sink=$TMP/lines && : >"$sink"
	board_up 1 --distance $distance 2>/dev/null
	local board=$!
	lab_client_exec taskset -c $CPU "$prog" $PORT >"$sink" &
	local client=$!
	taskset -pc $CPU $board >/dev/null
	sleep $WARMUP_S
	local c1 c2
	c1=$(udp "$LAB_CLIENT" OutDatagrams)
	sleep $WINDOW_S
	c2=$(udp "$LAB_CLIENT" OutDatagrams)
	awk '/^VmHWM:/ { print $2 }' /proc/$client/status >>"$OUT/hwm-$(basename "$prog")"
	stop $client $board
	echo $(((c2 - c1) / WINDOW_S))
}


# counted_run N DISTANCE ERRLOG CMD..: runs CMD, with the port as its last
# argument, in the client host against a board that answers N requests and
# logs each one to ERRLOG.board; CMD's stderr goes to ERRLOG. Stops CMD once
# the board has ended, which shows that the client took the Nth reply.
counted_run() {
	local n=$1 distance=$2 errlog=$3
	shift 3
	board_up 1 --distance "$distance" --count "$n" --log 2>"$errlog.board"
	local board=$!
	lab_client_exec "$@" $PORT >/dev/null 2>"$errlog" &
	local client=$!
	wait_board $board
	sleep 0.3
	# strace keeps fatal signals blocked while it traces: its child is stopped first.
	pkill -INT -P $client
	stop $client $board
	[ "$(wc -l <"$errlog.board")" -eq $((n + 1)) ] ||
		die "$1: $(wc -l <"$errlog.board") requests, not $((n + 1))"
}

# --- Measuring: each section writes its raw figures into $OUT.

measure_rates() {
	log "cycle rates: $REPS repetitions x 3 modes x 2 programs x ${WINDOW_S}s"
	local r mode c b
	for ((r = 1; r <= REPS; r++)); do
		for mode in silent null file; do
			c=$(rate "$CLIENT" $mode)
			b=$(rate "$BARE" $mode)
			echo "$c" >>"$OUT/client-$mode"
			echo "$b" >>"$OUT/bare-$mode"
			# Back-to-back pairs share the machine's mood: their ratio drifts least.
			awk -v c="$c" -v b="$b" 'BEGIN { printf "%.3f\n", c / b }' >>"$OUT/ratio-$mode"
		done
	done
	echo "$REPS" >"$OUT/reps"
}

# callgrind_run PROG N MODE OUT: instructions of PROG over N replies.
callgrind_run() {
	local distance=1.5
	[ "$3" = silent ] && distance=9
	counted_run "$2" $distance "$TMP/cg.log" valgrind --tool=callgrind --callgrind-out-file="$4" "$1"
}

measure_instructions() {
	log "instruction counts (callgrind, $N1 and $N2 cycles)"
	local prog mode p
	for prog in client bare; do
		for mode in silent null; do
			p=$CLIENT
			[ $prog = bare ] && { [ $mode = null ] && continue; p=$BARE; }
			callgrind_run "$p" $N1 $mode "$OUT/cg-$prog-$mode-1"
			callgrind_run "$p" $N2 $mode "$OUT/cg-$prog-$mode-2"
		done
	done
	echo "$N1 $N2" >"$OUT/cycles"
}

measure_syscalls() {
	log "system calls (strace) and heap (memcheck)"
	counted_run $N1 1.5 "$TMP/strace.log" strace -c -o "$OUT/strace" -e trace=write,sendto,recvfrom "$CLIENT"
	local n
	for n in $N1 $N2; do
		counted_run $n 1.5 "$TMP/heap.log" valgrind --tool=memcheck "$CLIENT"
		sed -n 's/.*total heap usage: //p' "$TMP/heap.log" >"$OUT/heap-$n"
	done
	echo "$N1 $N2" >"$OUT/cycles"
}

first_request_ms() {   # first_request_ms PROG: ms from its exec to its request on the wire
	lab_client_exec timeout 10 tcpdump -i eth0 --immediate-mode -c 1 -w "$TMP/first.pcap" -nn \
		"udp dst port $PORT" 2>"$TMP/first.err" &
	local sniffer=$!
	for _ in $(seq 250); do grep -q "listening on" "$TMP/first.err" && break; sleep 0.02; done
	# The clock is read in the namespace just before the exec, so that
	# entering the namespace is not counted.
	lab_client_exec sh -c 'date +%s.%N >"$1"; exec "$2" "$3"' sh "$TMP/t0" "$1" $PORT >/dev/null 2>&1 &
	local prog=$!
	wait $sniffer
	stop $prog
	"$PCAP_UDP" "$TMP/first.pcap" |
		awk -v t0="$(cat "$TMP/t0")" 'NR == 1 { printf "%.3f\n", ($1 - t0) * 1000 }'
}

measure_startup() {
	log "start-up: time to the first request on the wire"
	local r
	for ((r = 1; r <= REPS; r++)); do
		first_request_ms "$CLIENT" >>"$OUT/first-client"
		first_request_ms "$BARE" >>"$OUT/first-bare"
	done
	strip -o "$TMP/stripped" "$CLIENT" && stat -c %s "$TMP/stripped" >"$OUT/size-client"
	strip -o "$TMP/stripped" "$BARE" && stat -c %s "$TMP/stripped" >"$OUT/size-bare"
}

measure_boards() {
	log "several boards: request rate and receive-queue drops"
	local nb i pids client o1 i1 d1 bd1 o2 i2 d2 bd2
	for nb in 2 10; do
		pids=()
		for ((i = 1; i <= nb; i++)); do
			board_up $i --name b$i --distance 1.5 2>/dev/null
			pids+=($!)
		done
		lab_client_exec "$CLIENT" $PORT >/dev/null &
		client=$!
		sleep 1
		o1=$(udp "$LAB_CLIENT" OutDatagrams) i1=$(udp "$LAB_CLIENT" InDatagrams) d1=$(udp "$LAB_CLIENT" RcvbufErrors)
		bd1=0
		for ((i = 1; i <= nb; i++)); do bd1=$((bd1 + $(udp "${LAB_BOARDS[$((i - 1))]}" RcvbufErrors))); done
		sleep 3
		o2=$(udp "$LAB_CLIENT" OutDatagrams) i2=$(udp "$LAB_CLIENT" InDatagrams) d2=$(udp "$LAB_CLIENT" RcvbufErrors)
		bd2=0
		for ((i = 1; i <= nb; i++)); do bd2=$((bd2 + $(udp "${LAB_BOARDS[$((i - 1))]}" RcvbufErrors))); done
		stop $client "${pids[@]}"
		echo "$nb $(((o2 - o1) / 3)) $(((i2 - i1) / 3)) $(((d2 - d1) / 3)) $(((bd2 - bd1) / 3))" >>"$OUT/rows"
	done
}

# --- The report: only figures that were measured.

total_ir() {   # total_ir FILE: the program's instructions in a callgrind output
	local v
	v=$(callgrind_annotate "$1" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
	[ -n "$v" ] || die "no program total in callgrind output $1"
	echo "$v"
}
# fn_ir FILE NAME: inclusive instructions of the function so named; a name
# that callgrind's output does not hold (a renamed function) stops the report.
fn_ir() {
	callgrind_annotate --inclusive=yes --threshold=100 "$1" 2>/dev/null |
		awk -v name="$2" '/^ *[0-9,]+ / {
			fn = $0; sub(/ \[[^[]*$/, "", fn); sub(/^ *[0-9,]+ +\([^)]*\) +/, "", fn)
			sub(/^[^:]*:/, "", fn); sub(/@.*$/, "", fn)
			if (fn == name) { v = $1; gsub(",", "", v); s += v; found = 1 }
		} END { if (found) print s }' | grep . ||
		die "function '$2' is not in callgrind output $1: renamed? update bench/run.sh"
}

report_header() {
	local line
	line=$(need host line) || exit 1
	printf '# poll-client benchmark\n\n%s\n\n' "$line"
}

report_rates() {
	local d=$DATA/rates reps mode c b
	reps=$(need rates reps) || exit 1
	for mode in silent null file; do
		need rates client-$mode >/dev/null && need rates bare-$mode >/dev/null && need rates ratio-$mode >/dev/null
	done
	echo "## Poll cycles per second, client and board pinned to CPU $CPU"
	echo
	echo "Median of $reps interleaved ${WINDOW_S}-second windows (range in brackets); the bare loop only sends and receives."
	echo "The ratio is the median of the $reps ratios of back-to-back pairs (client, then bare loop)."
	echo
	echo "| mode | poll-client | bare loop | ratio to the bare loop |"
	echo "|---|---|---|---|"
	for mode in silent null file; do
		c=$(median <"$d/client-$mode")
		b=$(median <"$d/bare-$mode")
		printf '| %s | %s (%s) | %s (%s) | %s |\n' \
			"$(case $mode in silent) echo "silent (every distance 9 m)" ;; null) echo "printing, stdout to /dev/null" ;; file) echo "printing, stdout to a file" ;; esac)" \
			"$c" "$(spread <"$d/client-$mode")" "$b" "$(spread <"$d/bare-$mode")" \
			"$(median <"$d/ratio-$mode") ($(sort -n "$d/ratio-$mode" | sed -n '1p;$p' | paste -sd-))"
	done
	echo
}

report_instructions() {
	local d=$DATA/instructions cycles n1 n2 prog mode a b pc part name fn
	cycles=$(need instructions cycles) || exit 1
	read -r n1 n2 <<<"$cycles"
	per_cycle() { awk -v a="$1" -v b="$2" -v n=$((n2 - n1)) 'BEGIN { printf "%.0f", (b - a) / n }'; }
	echo "## User-space instructions (callgrind)"
	echo
	echo "Per cycle = (instructions over $n2 cycles - over $n1 cycles) / $((n2 - n1)): start-up cancels out."
	echo "Start-up = instructions over $n1 cycles - $n1 x per cycle (loader and libc start included)."
	echo
	echo "| program | per cycle | start-up |"
	echo "|---|---|---|"
	for prog in client bare; do
		for mode in silent null; do
			# The bare loop never prints: one row tells it all.
			[ $prog = bare ] && [ $mode = null ] && continue
			need instructions "cg-$prog-$mode-1" >/dev/null && need instructions "cg-$prog-$mode-2" >/dev/null
			a=$(total_ir "$d/cg-$prog-$mode-1") && b=$(total_ir "$d/cg-$prog-$mode-2") || exit 1
			pc=$(per_cycle "$a" "$b")
			printf '| %s | %s | %s |\n' "$([ $prog = bare ] && echo "bare loop" ||
				{ [ $mode = silent ] && echo "poll-client, silent" || echo "poll-client, printing"; })" \
				"$pc" "$((a - n1 * pc))"
		done
	done
	echo
	echo "The kernel's send and receive, paid alike by both programs, are most of a cycle's cost:"
	echo "compare the instructions above with the cycle rates. In the silent mode poll-client adds"
	echo "clearing the buffer, splitting and converting; printing adds the formatting and, with line"
	echo "buffering, one write(2) per line (see the system calls below)."
	echo
	echo "Where poll-client's cycle goes (inclusive, per cycle, printing mode):"
	echo
	echo "| part | function | per cycle |"
	echo "|---|---|---|"
	for part in "the reply's handling, all of it:handle_reply(char*)" \
		"formatting and writing the line:printf" \
		"of it, formatting the distance:__printf_fp_l" \
		"of it, the write(2) of the line:_IO_file_write" \
		"converting the distance:strtod" "splitting the words:strtok_r" \
		"sending the request (clearing the buffer included):send_request(int, sockaddr_in const*, char*)" \
		"receiving the reply:receive_reply(int, char*, sockaddr_in*, unsigned int*)"; do
		name=${part%%:*}
		fn=${part#*:}
		a=$(fn_ir "$d/cg-client-null-1" "$fn") && b=$(fn_ir "$d/cg-client-null-2" "$fn") || exit 1
		printf '| %s | `%s` | %s |\n' "$name" "${fn%%(*}" "$(per_cycle "$a" "$b")"
	done
	echo
}

report_syscalls() {
	local cycles n1 n2 heap1 heap2
	cycles=$(need syscalls cycles) || exit 1
	read -r n1 n2 <<<"$cycles"
	need syscalls strace >/dev/null
	heap1=$(need syscalls "heap-$n1") && heap2=$(need syscalls "heap-$n2") || exit 1
	echo "## System calls and heap"
	echo
	echo "strace -c of poll-client over $n1 printed replies (the last request is sent, its reply never comes):"
	echo
	echo '```'
	awk '$NF ~ /^(write|sendto|recvfrom)$/ { print $4, $NF }' "$DATA/syscalls/strace" | sort -k2
	echo '```'
	echo
	echo "memcheck heap summary: over $n1 cycles: $heap1; over $n2 cycles: $heap2."
	echo
}

report_startup() {
	local d=$DATA/startup size_client size_bare
	need startup first-client >/dev/null && need startup first-bare >/dev/null
	size_client=$(need startup size-client) && size_bare=$(need startup size-bare) || exit 1
	# The peak memory is read during the rate runs.
	need rates hwm-poll-client >/dev/null && need rates hwm-bare-loop >/dev/null
	echo "## Start-up, memory, size"
	echo
	echo "| figure | poll-client | bare loop |"
	echo "|---|---|---|"
	echo "| exec to first request on the wire, ms (median of $(wc -l <"$d/first-client")) | $(median <"$d/first-client") | $(median <"$d/first-bare") |"
	echo "| peak RSS (VmHWM), KiB, median of the rate runs | $(median <"$DATA/rates/hwm-poll-client") | $(median <"$DATA/rates/hwm-bare-loop") |"
	echo "| stripped binary, bytes (amd64, dynamic) | $size_client | $size_bare |"
	echo
}

report_boards() {
	need boards rows >/dev/null
	echo "## Several boards, unpinned"
	echo
	echo "Every board answers every request; the client reads one reply per request and polls at once,"
	echo "so each reply read sends a request that brings B more: the request rate climbs to what the"
	echo "machine allows, and the client's receive queue overflows. Counted over 3 s in the client's"
	echo "namespace (/proc/net/snmp); the boards answer with no delay."
	echo
	echo "| boards | requests sent/s | replies queued for the client/s (InDatagrams) | replies dropped by the client's full queue/s (RcvbufErrors) | requests dropped by the boards' full queues/s |"
	echo "|---|---|---|---|---|"
	awk '{ printf "| %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5 }' "$DATA/boards/rows"
	echo
}

# report: every section's tables, into a scratch file first, so that a
# missing figure leaves RESULTS as it was.
report() {
	local section
	(
		report_header || exit 1
		for section in $ALL_SECTIONS; do
			"report_$section" || exit 1
		done
	) >"$TMP/report" || die "report not written; $RESULTS unchanged"
	cp "$TMP/report" "$RESULTS"
	cat "$RESULTS"
	log "written to $RESULTS"
}

# measure SECTION..: runs each section in one lab, each into a fresh folder.
measure() {
	local section
	for section in "$@"; do
		case " $ALL_SECTIONS " in *" $section "*) ;; *) die "unknown section '$section' ($ALL_SECTIONS)" ;; esac
	done
	./scripts/install-deps.sh || exit 1
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPOLL_CLIENT_TESTS=ON >/dev/null &&
		cmake --build build -j "$(nproc)" >/dev/null || die "build failed"
	CLIENT=$PWD/build/poll-client
	BARE=$PWD/build/bare-loop
	BOARD=$PWD/build/board-sim
	PCAP_UDP=$PWD/build/tests/pcap_udp
	source lab/lab.sh
	lab_up 10 || exit 1
	trap 'lab_down; rm -rf "$TMP"' EXIT
	mkdir -p "$DATA/host"
	echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'); machine: $(nproc) CPUs, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(uname -r)
Command: \`bench/run.sh\` (as root; the lab's namespaces), REPS=$REPS; binaries: Release, g++ $(g++ -dumpfullversion)." >"$DATA/host/line"
	for section in "$@"; do
		OUT=$DATA/$section
		rm -rf "$OUT"
		mkdir -p "$OUT"
		"measure_$section"
	done
}

TMP=$(mktemp -d "${TMPDIR:-/tmp}/poll-bench.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
case ${1:-all} in
all) measure $ALL_SECTIONS && report ;;
measure)
	shift
	[ $# -gt 0 ] || set -- $ALL_SECTIONS
	measure "$@"
	;;
report) report ;;
*) die "usage: bench/run.sh [measure [SECTION..] | report]" ;;
esac
