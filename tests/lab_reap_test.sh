#!/bin/bash
# Nothing outlives a lab test: one killed by SIGKILL (as CTest ends a test
# past its time-out) leaves its lab running, client, board and capture
# included, and the next lab start removes all of it.
source "$(dirname "$0")/lib.sh"
source "$T_HERE/../lab/lab.sh"

# victim_running PID: the lab of test PID has its client polling and its
# capture writing (three processes or more in its namespaces, tcpdump among
# them); sets VICTIM_PIDS.
victim_running() {
	local ns
	VICTIM_PIDS=""
	for ns in $(ip netns list | awk '{print $1}' | grep "^pclab-$1-"); do
		VICTIM_PIDS="$VICTIM_PIDS $(ip netns pids "$ns" | tr '\n' ' ')"
	done
	VICTIM_PIDS=$(echo $VICTIM_PIDS)
	[ "$(echo $VICTIM_PIDS | wc -w)" -ge 3 ] &&
		ps -o comm= -p "${VICTIM_PIDS// /,}" | grep -q tcpdump
}

bash "$T_HERE/lab_timeout_test.sh" >"$T_DIR/victim.log" 2>&1 &
victim=$!
t_wait 20 victim_running $victim || t_fail "the victim's lab did not come up"
kill -KILL $victim
wait $victim 2>/dev/null
t_eq "after the SIGKILL its processes still run" \
	"$(lab_running $VICTIM_PIDS | wc -l)" \
	"$(echo $VICTIM_PIDS | wc -w)"

t_lab_up 1
t_eq "the next lab start removed its namespaces" "$(ip netns list | grep -c "^pclab-$victim-")" 0
t_eq "and every process of it" "$(lab_running $VICTIM_PIDS)" ""
t_eq "and its owner record" "$(ls /run/poll-client-lab | grep -c "^pclab-$victim-")" 0

t_finish
