#!/bin/bash
# What poll-client needs at run time: the C library and nothing else, or
# nothing at all when linked static. No libstdc++, no libm, no libgcc_s.
source "$(dirname "$0")/lib.sh"

needed=$(readelf -d "$POLL_CLIENT_FILE" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
if [ "${POLL_CLIENT_STATIC:-OFF}" = ON ]; then
	t_eq "static: no shared library needed" "$needed" ""
	t_eq "static: no program interpreter" "$(readelf -l "$POLL_CLIENT_FILE" | grep -c 'program interpreter')" 0
else
	t_eq "dynamic: the C library only" "$needed" "libc.so.6 "
fi
t_eq "every imported symbol is the C library's" \
	"$(nm -D --undefined-only "$POLL_CLIENT_FILE" 2>/dev/null | grep -v -E '@GLIBC_|^ +w ')" ""

t_finish
