#!/bin/bash
# run_fuzz.sh FUZZER CORPUS RUNS: a bounded libFuzzer run from the seed
# corpus (copied, so that the checked-in seeds stay as they are). Fails on
# any crash, sanitizer report or wrong line.
set -u
fuzzer=$1 seeds=$2 runs=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/reply-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$seeds"/* "$work/"
cd "$work" || exit 1
"$fuzzer" -runs="$runs" -max_len=200 -timeout=10 -max_total_time=600 -print_final_stats=1 \
	-artifact_prefix="$work/" "$work" 2>&1 | tail -15
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
	for a in "$work"/crash-* "$work"/leak-* "$work"/timeout-*; do
		[ -e "$a" ] && { echo "artifact $(basename "$a"):"; od -c "$a" | head; }
	done
	echo "0 passed, 1 failed"
	exit 1
fi
echo "1 passed, 0 failed"
