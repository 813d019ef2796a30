#!/bin/bash
# The armhf client needs ARMv7: on an ARM1176 it dies by SIGILL. If it ran,
# a CPU named to qemu would gate nothing, nor prove the ARMv5 and ARMv6 runs.
source "$(dirname "$0")/lib.sh"

"$POLL_CLIENT" >/dev/null 2>&1
t_eq "on the tree's own CPU it runs (usage, status 1)" $? 1
POLL_CLIENT_CPU=arm1176 "$POLL_CLIENT" >/dev/null 2>&1
t_eq "on an ARM1176 it dies by SIGILL" $? 132

t_finish
