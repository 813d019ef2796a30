#!/bin/bash
# The benchmark's report never prints an empty figure: with one not measured
# it stops, naming the figure, and leaves the results as they were.
source "$(dirname "$0")/lib.sh"
BENCH=$T_HERE/../bench/bench.py
export BENCH_DATA=$T_DIR/data RESULTS=$T_DIR/RESULTS.md
mkdir -p "$BENCH_DATA"
echo "as before" >"$RESULTS"

# report_fails DESC WANT_ERE: the report stops, naming what WANT_ERE says.
report_fails() {
	python3 "$BENCH" report >"$T_DIR/out" 2>"$T_DIR/err"
	t_eq "$1: status" $? 1
	t_match "$1: names the figure" "$(cat "$T_DIR/err")" "$2"
	t_eq "$1: nothing on stdout" "$(cat "$T_DIR/out")" ""
	t_eq "$1: the results stay as they were" "$(cat "$RESULTS")" "as before"
}

report_fails "nothing measured" "^bench: no figure 'host: line' .*run 'bench/bench.py measure' first\$"
echo '{"line": "a host"}' >"$BENCH_DATA/host.json"
report_fails "no rates measured" "^bench: no figure 'rates: silent client' .*'bench/bench.py measure rates'"
echo '{"silent": {"client": [1], "bare": [1], "ratio": [1]}, "null": {"client": [], "bare": [1], "ratio": [1]}}' \
	>"$BENCH_DATA/rates.json"
report_fails "a rate measured as nothing" "^bench: figure 'rates: null client' .* is empty"

t_finish
