#!/bin/bash
# test-all.sh: installs what is missing, builds every tree, runs every test.
# Needs root: the lab tests build network namespaces.
#
#   tree               client                          groups (ctest labels)
#   build/             amd64, glibc: the reference     unit client linkage lab package host
#   build-static/      amd64, static against musl      client linkage lab
#   build-armhf/       armhf (ARMv7), glibc, on a      unit client linkage lab package armhf
#                      Cortex-A7 under qemu-user
#   build-arm-musl/    the universal ARM binary:       client linkage lab package armel,
#                      armel (ARMv5TE), static musl,   then client and lab again on an
#                      on an ARM926                    ARM1176 (ARMv6)
#   build-arm64-musl/  arm64 (ARMv8.0-A), static musl, client linkage lab package arm64,
#                      on a Cortex-A53                 then client and lab again on the
#                                                      arm64 package's (glibc) client
#   build-sanitize/    clang, ASan and UBSan           unit client lab fuzz
#
# The packages are made first, into dist/; each tree's package group tests
# those of its architecture. docs/testing.md says what each group catches.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
host_tools=-DPOLL_CLIENT_HOST_TOOLS="$PWD/build"
failed=()

echo "=== packages"
./scripts/package.sh || failed+=(packages)

# run_tree DIR LABELS CMAKE_ARGS..: configures and builds one tree, and runs
# its tests of the groups LABELS (a|b|..).
run_tree() {
	local dir=$1 labels=$2
	shift 2
	echo "=== $dir: $labels"
	cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPOLL_CLIENT_TESTS=ON "$@" >/dev/null &&
		cmake --build "$dir" -j "$jobs" &&
		ctest --test-dir "$dir" -L "^($labels)\$" --no-tests=error --output-on-failure -j "$jobs" ||
		failed+=("$dir")
}

run_tree build 'unit|client|linkage|lab|package|host'
run_tree build-static 'client|linkage|lab' "$host_tools" -DPOLL_CLIENT_MUSL=ON
run_tree build-armhf 'unit|client|linkage|lab|package|armhf' "$host_tools" \
	-DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
run_tree build-arm-musl 'client|linkage|lab|package|armel' "$host_tools" \
	-DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake -DPOLL_CLIENT_MUSL=ON
echo "=== build-arm-musl on an ARM1176: client|lab"
POLL_CLIENT_CPU=arm1176 ctest --test-dir build-arm-musl -L '^(client|lab)$' --no-tests=error \
	--output-on-failure -j "$jobs" || failed+=("build-arm-musl on an ARM1176")
run_tree build-arm64-musl 'client|linkage|lab|package|arm64' "$host_tools" \
	-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DPOLL_CLIENT_MUSL=ON
# The same groups on the packaged arm64 client (glibc, dynamic), by the runner
# of the arm64 tree, with the helper on the same C library.
echo "=== the arm64 package's client, on a Cortex-A53: client|lab"
rm -rf build-arm64-musl/package && dpkg-deb -x dist/poll-client_*_arm64.deb build-arm64-musl/package &&
	OTHER_POLL_CLIENT=$PWD/build-arm64-musl/package/usr/bin/poll-client \
		OTHER_LIBC_REASON=$PWD/build-arm64-musl/tests/libc_reason_system \
		ctest --test-dir build-arm64-musl -L '^(client|lab)$' --no-tests=error --output-on-failure \
		-j "$jobs" || failed+=("the arm64 package's client")
CC=clang CXX=clang++ run_tree build-sanitize 'unit|client|lab|fuzz' -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DPOLL_CLIENT_SANITIZE=ON -DPOLL_CLIENT_FUZZ=ON

echo "=== stripped sizes"
./scripts/sizes.sh

if [ ${#failed[@]} -gt 0 ]; then
	echo "test-all: FAILED in: ${failed[*]}" >&2
	exit 1
fi
echo "test-all: all trees passed"
