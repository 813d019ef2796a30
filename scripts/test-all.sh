#!/bin/bash
# test-all.sh: installs what is missing, builds every tree, runs every test.
# Needs root: the lab tests build network namespaces.
#
#   build/               native (amd64), the reference run
#   build-static/        native, static against musl
#   build-armhf/         32-bit ARM hard-float (ARMv7), glibc, under qemu-user
#                        on a Cortex-A7
#   build-arm-musl/      the universal ARM binary: armel (ARMv5TE), static
#                        against musl, under qemu-user on an ARM926 (ARMv5TE)
#                        and again on an ARM1176 (ARMv6)
#   build-sanitize/      clang with ASan and UBSan, plus a bounded libFuzzer run
#
# The native tree also runs the static checks (clang-tidy, cppcheck, format).
# The packages are made first, into dist/, and each dynamic tree tests those
# of its architecture.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
host_tools=-DPOLL_CLIENT_HOST_TOOLS="$PWD/build"
failed=()

echo "=== packages"
./scripts/package.sh || failed+=(packages)

# run_tree DIR CMAKE_ARGS..: configures, builds and tests one tree.
run_tree() {
	local dir=$1
	shift
	echo "=== $dir"
	cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPOLL_CLIENT_TESTS=ON "$@" >/dev/null &&
		cmake --build "$dir" -j "$jobs" &&
		ctest --test-dir "$dir" --output-on-failure -j "$jobs" || failed+=("$dir")
}

run_tree build
run_tree build-static "$host_tools" -DPOLL_CLIENT_MUSL=ON
run_tree build-armhf "$host_tools" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
run_tree build-arm-musl "$host_tools" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake \
	-DPOLL_CLIENT_MUSL=ON -DPOLL_CLIENT_ARM_EXTRA_CPU=arm1176
CC=clang CXX=clang++ run_tree build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DPOLL_CLIENT_SANITIZE=ON -DPOLL_CLIENT_FUZZ=ON

echo "=== stripped sizes"
./scripts/sizes.sh

if [ ${#failed[@]} -gt 0 ]; then
	echo "test-all: FAILED in: ${failed[*]}" >&2
	exit 1
fi
echo "test-all: all trees passed"
