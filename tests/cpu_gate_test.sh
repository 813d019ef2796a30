#!/bin/bash
# The armhf client needs ARMv7: on an ARM1176 (ARMv6, Raspberry Pi Zero) it
# dies by SIGILL before main. If it ran, a CPU named to qemu would gate
# nothing, and the ARMv5 and ARMv6 runs of the universal binary would prove
# nothing either.
source "$(dirname "$0")/lib.sh"

read -r -a emu <<<"$POLL_CLIENT_EMULATOR"
$POLL_CLIENT_EMULATOR "$POLL_CLIENT" >/dev/null 2>&1
t_eq "on the tree's own CPU it runs (usage, status 1)" $? 1
for i in "${!emu[@]}"; do
	[ "${emu[$i]}" != "-cpu" ] || emu[i + 1]=arm1176
done
"${emu[@]}" "$POLL_CLIENT" >/dev/null 2>&1
t_eq "on an ARM1176 it dies by SIGILL" $? 132

t_finish
