#!/bin/bash
# run_fuzz.sh FUZZER CORPUS RUNS: a libFuzzer run of RUNS inputs from a copy
# of the seed corpus. Fails on a crash, sanitizer report or wrong line, or a
# run cut short by its time bound; a failing input is kept in
# fuzz-artifacts/ and printed whole, so that the CI log alone reproduces it.
set -u
fuzzer=$1 seeds=$2 runs=$3
artifacts=$PWD/fuzz-artifacts
work=$(mktemp -d "${TMPDIR:-/tmp}/reply-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$seeds"/* "$work/"
mkdir -p "$artifacts"
cd "$work" || exit 1
"$fuzzer" -runs="$runs" -max_len=200 -timeout=10 -max_total_time=600 -print_final_stats=1 \
	-artifact_prefix="$artifacts/" "$work" >"$work/log" 2>&1
status=$?
tail -n 15 "$work/log"
ran=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
if [ "$status" -ne 0 ]; then
	for a in "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-*; do
		[ -e "$a" ] || continue
		echo "failing input, kept as $a ($(stat -c %s "$a") bytes, hex):"
		od -An -v -tx1 "$a"
	done
elif [ "${ran:-0}" -lt "$runs" ]; then
	echo "ran ${ran:-no} inputs of $runs: the time bound ended the run early"
	status=1
fi
if [ "$status" -ne 0 ]; then
	echo "0 passed, 1 failed"
	exit 1
fi
echo "$ran inputs; 1 passed, 0 failed"
