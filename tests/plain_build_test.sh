#!/bin/bash
# The README's build as written, on a machine with a compiler and CMake
# alone (the tests' tools hidden from CMake's searches): it builds, without
# the tests; with CI=true their tools must be found; an install under another
# prefix gives a unit that starts the binary it installed.
source "$(dirname "$0")/lib.sh"
SRC=$T_HERE/..
HIDDEN=(-DCMAKE_IGNORE_PREFIX_PATH="/usr;/")

env -u CI cmake -S "$SRC" -B "$T_DIR/plain" "${HIDDEN[@]}" >"$T_DIR/configure.log" 2>&1
t_eq "a plain build configures without the tests' tools" $? 0
t_match "and says that the tests are off" "$(cat "$T_DIR/configure.log")" "tests off: GoogleTest or libpcap not found"
cmake --build "$T_DIR/plain" -j "$(nproc)" >"$T_DIR/build.log" 2>&1 || tail -n 20 "$T_DIR/build.log" >&2
t_eq "it builds the client" "$(test -x "$T_DIR/plain/poll-client" && echo built)" built
cmake --install "$T_DIR/plain" --prefix "$T_DIR/opt" >/dev/null
t_eq "installed under another prefix, the unit starts the binary installed there" \
	"$(sed -n 's/^ExecStart=//p' "$T_DIR/opt/lib/systemd/system/poll-client@.service")" \
	"$T_DIR/opt/bin/poll-events --mqtt-prefix poll-client/%H/%i \$POLL_EVENTS_BOARDS \$POLL_EVENTS_MQTT -- $T_DIR/opt/bin/poll-client %i"
t_eq "which are there" "$(test -x "$T_DIR/opt/bin/poll-client" && test -x "$T_DIR/opt/bin/poll-events" && echo installed)" installed

CI=true cmake -S "$SRC" -B "$T_DIR/ci" "${HIDDEN[@]}" >/dev/null 2>&1
t_eq "with CI=true, the tests' tools must be found" $? 1
t_finish
