#!/bin/bash
# The packages' as-installed tests (debian/tests) on this machine's
# architecture, by tests/tools/autopkgtest.sh, with no network: every one must
# pass, none skip. Needs the packages in DIST_DIR.
source "$(dirname "$0")/lib.sh"
arch=$(dpkg --print-architecture)
ls "$DIST_DIR"/poll-client_*_"$arch".deb >/dev/null 2>&1 ||
	t_skip_or_fail "no $arch packages in $DIST_DIR (run ./scripts/package.sh)"
# With no network at all: the cached testbed is all that it needs.
unshare --net -- "$T_HERE/tools/autopkgtest.sh" >"$T_DIR/log" 2>&1
status=$?
# The summary: a line "TEST RESULT" for each test (the chroot testbed's
# clean-up prints more after it).
summary=$(sed -n '/^autopkgtest \[.*\]: @@@@@@@@@@@@@@@@@@@@ summary/,$p' "$T_DIR/log" |
	grep -E '^[^ ]+ +(PASS|FAIL|SKIP|FLAKY|NEUTRAL)')
printf '%s\n' "$summary"
[ $status -eq 0 ] || tr -d '\r' <"$T_DIR/log" | tail -n 40 >&2
t_eq "autopkgtest's status" $status 0
t_eq "every test passed, none skipped" "$(printf '%s\n' "$summary" | awk '{ print $2 }' | sort -u)" PASS
t_eq "both tests ran" "$(printf '%s\n' "$summary" | grep -c .)" 2
t_finish
