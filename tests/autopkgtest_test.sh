#!/bin/bash
# autopkgtest_test.sh ARCH: the packages' as-installed tests of ARCH through
# scripts/autopkgtest.sh. Every test must pass: a skipped one (autopkgtest's
# status 2) fails here too.
source "$(dirname "$0")/lib.sh"
"$T_HERE/../scripts/autopkgtest.sh" "$1" >"$T_DIR/log" 2>&1
status=$?
summary=$(sed -n '/^autopkgtest \[.*\]: @@@@@@@@@@@@@@@@@@@@ summary/,$p' "$T_DIR/log" | tail -n +2)
printf '%s\n' "$summary"
[ $status -eq 0 ] || tr -d '\r' <"$T_DIR/log" | tail -n 40 >&2
t_eq "$1: autopkgtest's status" $status 0
t_eq "$1: every test passed, none skipped" "$(printf '%s\n' "$summary" | awk '{ print $2 }' | sort -u)" PASS
t_eq "$1: both tests ran" "$(printf '%s\n' "$summary" | grep -c .)" 2
t_finish
