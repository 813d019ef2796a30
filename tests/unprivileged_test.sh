#!/bin/bash
# The ordinary user's path, proven when the test command runs as root (as CI
# runs it): as poll-client-test, which install-deps.sh makes, a copy of what
# git holds builds, passes the quick check (the unit, client and lab groups,
# every lab in a user namespace of that user's), leaves nothing of a lab test
# that it SIGKILLs (lab_kill), shows the demo, and passes autopkgtest with
# this machine's packages from DIST_DIR (a testbed that mmdebstrap makes and
# autopkgtest enters by user namespaces made inside the test's own), with no
# root and no sudo. The copy lives on a tmpfs over ~/src of that user's, in
# this test's own mount namespace; the user's cache stays, as anyone's. All
# of it but the making of the testbed runs with no network at all, as on a
# machine that cannot reach the archive: the testbed serves as cached.
source "$(dirname "$0")/lib.sh"
USER_NAME=poll-client-test
# The whole run as that user, at most (seconds); the testbed's first making
# takes a minute.
RUN_LIMIT_S=420

[ "$(id -u)" -eq 0 ] && in_first_userns || t_skip_or_fail "run as root, to become $USER_NAME (as an ordinary user, run the quick check itself)"
home=$(getent passwd $USER_NAME | cut -d: -f6)
[ -n "$home" ] && [ -d "$home" ] || t_skip_or_fail "no user $USER_NAME (./scripts/install-deps.sh test)"
ls "$DIST_DIR"/*_"$DEB_ARCH".deb >/dev/null 2>&1 ||
	t_skip_or_fail "no $DEB_ARCH packages in $DIST_DIR (run ./scripts/package.sh)"
runuser -u $USER_NAME -- mkdir -p "$home/src"
mount -t tmpfs -o mode=700,uid="$(id -u $USER_NAME)",gid="$(id -g $USER_NAME)" user-src "$home/src"
git -C "$T_HERE/.." ls-files -z | tar -c -C "$T_HERE/.." --null -T - |
	runuser -u $USER_NAME -- tar -x -C "$home/src"
runuser -u $USER_NAME -- mkdir "$home/src/dist"
cp "$DIST_DIR"/*_"$DEB_ARCH".deb "$home/src/dist/"

as_user=(runuser -u "$USER_NAME" -- env -i HOME="$home" PATH=/usr/local/bin:/usr/bin:/bin CI="${CI:-}"
	timeout -s KILL "$RUN_LIMIT_S")
"${as_user[@]}" bash -c 'cd ~/src && ./scripts/autopkgtest.sh --testbed' >"$T_DIR/testbed" 2>&1 ||
	{ tail -n 20 "$T_DIR/testbed" >&2; t_fail "as $USER_NAME: the testbed"; }
unshare --net -- "${as_user[@]}" bash -c 'cd ~/src &&
		cmake -S . -B build -DPOLL_CLIENT_TESTS=ON >/dev/null && cmake --build build -j "$(nproc)" >/dev/null &&
		ctest --test-dir build -L "^(unit|client|lab)$" --no-tests=error --output-on-failure -j "$(nproc)" &&
		ctest --test-dir build -R "^(lab_kill|autopkgtest)$" --no-tests=error --output-on-failure &&
		./scripts/demo.sh 3 >demo.out' >"$T_DIR/out" 2>&1
status=$?
[ $status -eq 0 ] || tail -n 40 "$T_DIR/out" >&2
t_eq "as $USER_NAME, with no network: builds, passes the quick check, lab_kill and autopkgtest, and runs the demo" \
	$status 0
t_match "as $USER_NAME: the demo shows detection lines" "$(head -n 1 "$home/src/demo.out" 2>/dev/null | detections)" \
	'^(north|east|gate) [0-9.]+$'

t_finish
