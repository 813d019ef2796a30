#!/bin/bash
# The plain cross build: the toolchain file alone configures and builds the
# ARM client.
source "$(dirname "$0")/lib.sh"
command -v arm-linux-gnueabihf-g++ >/dev/null || t_skip_or_fail "no ARM cross compiler"
src=$T_HERE/..

cmake -S "$src" -B "$T_DIR/arm" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/arm-linux-gnueabihf.cmake" \
	>"$T_DIR/configure.log" 2>&1
t_eq "configures with the toolchain file alone" "$?" 0
cmake --build "$T_DIR/arm" -j "$(nproc)" >"$T_DIR/build.log" 2>&1
status=$?
[ $status -eq 0 ] || tail -n 20 "$T_DIR/build.log" >&2
t_eq "builds" $status 0
t_match "the client is a 32-bit ARM program" "$(file -b "$T_DIR/arm/poll-client")" "^ELF 32-bit LSB .*ARM"

t_finish
