#!/bin/bash
# test-all.sh: installs what is missing, makes the packages, then runs each
# group of tests (ctest labels) of the table below on a client that ships,
# on the CPU it is for. docs/testing.md says which fact each test proves.
set -euo pipefail
cd "$(dirname "$0")/.."

# The runs: the tree, its groups, the client under test (ARCHIVE/PATH in
# dist/, or "-": the tree's own), the C library helper for reasons ("system":
# on Debian's C library, for a glibc client in a musl tree; "-": the tree's),
# and who runs it ("-": the caller; a user: that user, when root runs this).
RUNS=(
	"build            unit|client|lab|package|host -                                            -      -"
	"build            user                         -                                            -      poll-client-test"
	"build-armhf      client|lab|armhf             poll-client_armhf/usr/bin/poll-client        -      -"
	"build-arm-musl   client|lab|armel             poll-client-static_armhf/usr/bin/poll-client -      -"
	"build-arm-musl   client|lab                   poll-client_armel/usr/bin/poll-client        system -"
	"build-arm64-musl client|lab                   poll-client-linux-arm64/poll-client          -      -"
	"build-arm64-musl client|lab                   poll-client_arm64/usr/bin/poll-client        system -"
	"build-sanitize   unit|client|lab|fuzz         -                                            -      -"
)

# mosquitto_args TRIPLET: the cmake arguments of a musl tree's libmosquitto.
mosquitto_args() {
	local dir
	dir=$(packaging/libmosquitto-musl.sh "$1") &&
		echo "-DMOSQUITTO_INCLUDE_DIR=$dir/include -DMOSQUITTO_LIBRARY=$dir/lib/libmosquitto.a"
}

# tree_args DIR: the cmake arguments of the tree DIR; each toolchain file
# names its CPU (docs/testing.md's table).
tree_args() {
	case $1 in
	build) ;;
	build-armhf) echo -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake ;;
	build-arm-musl) echo -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake -DPOLL_CLIENT_MUSL=ON \
		"$(mosquitto_args arm-linux-gnueabi)" ;;
	build-arm64-musl) echo -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DPOLL_CLIENT_MUSL=ON \
		"$(mosquitto_args aarch64-linux-gnu)" ;;
	build-sanitize)
		echo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
			-DPOLL_CLIENT_SANITIZE=ON -DPOLL_CLIENT_FUZZ=ON
		;;
	esac
}

groups=(test)
[ "$(id -u)" -ne 0 ] || groups+=(user)
./scripts/install-deps.sh "${groups[@]}"

jobs=$(nproc)
# What ccache keeps at most, for all the trees (a run adds a few MB).
CCACHE_MAX=100M
# The tests that take minutes of CPU run beside the rows from the start, each
# in its tree, at its niceness: the emulated Debian board, the longest, at
# the rows' own; the newcomer's Debian systems niced, taking what is left.
BESIDE=("build-armhf board_vm 0" "build newcomer 10")
shipped=$PWD/build-shipped
failed=()

echo "=== packages"
if ./scripts/package.sh; then
	# Every archive unpacked once, under its name without version and suffix.
	rm -rf "$shipped" && mkdir -p "$shipped"
	for deb in dist/*.deb; do
		name=$(basename "$deb" .deb)
		dpkg-deb -x "$deb" "$shipped/${name%%_*}_${name##*_}"
	done
	for tarball in dist/*.tar.gz; do
		tar -xzf "$tarball" -C "$shipped"
		name=$(basename "$tarball" .tar.gz)
		mv "$shipped/$name" "$shipped/${name/-[0-9]*-linux/-linux}"
	done
else
	failed+=(packages)
fi

built=" "
# build_tree DIR: configures and builds the tree DIR of the checkout at
# $top, once, as "${as[@]}" says; a cross tree takes the host's tools from
# the native one. Every compilation goes through ccache, whose objects are
# kept in the cache folder of the user who builds, keyed by the
# compilation's inputs, so that what did not change is not compiled again
# on the next run; paths under the checkout count relative to it, so that
# every clone finds them. A kept object's debug information may name the
# folder of the clone that made it.
build_tree() {
	[[ $built != *" $top/$1 "* ]] || return 0
	local host_tools=() ccache=()
	[[ $(tree_args "$1") != *TOOLCHAIN* ]] || host_tools=(-DPOLL_CLIENT_HOST_TOOLS="$top/build")
	ccache=(env CCACHE_DIR="$("${as[@]}" "$top/tests/tools/cache.sh" --dir)/ccache" CCACHE_BASEDIR="$top"
		CCACHE_NOHASHDIR=true CCACHE_MAXSIZE="$CCACHE_MAX")
	# shellcheck disable=SC2046  # the tree's arguments, one word each
	"${as[@]}" cmake -S "$top" -B "$top/$1" -DCMAKE_BUILD_TYPE=Release -DPOLL_CLIENT_TESTS=ON \
		-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
		"${host_tools[@]}" $(tree_args "$1") >/dev/null &&
		"${as[@]}" "${ccache[@]}" cmake --build "$top/$1" -j "$jobs" || return 1
	built+="$top/$1 "
}

# as_user USER: sets top to a new copy of what git holds, and dist/'s
# packages, in USER's cache (USER may not read this checkout), and as to
# run commands there as USER.
as_user() {
	local home
	home=$(getent passwd "$1" | cut -d: -f6)
	top=$home/.cache/poll-client/src
	as=(runuser -u "$1" -- env -i HOME="$home" PATH=/usr/local/bin:/usr/bin:/bin CI="${CI:-}")
	"${as[@]}" rm -rf "$top" && "${as[@]}" mkdir -p "$top" &&
		{ git ls-files -z && printf '%s\0' dist/*.deb; } | tar -c --null -T - | "${as[@]}" tar -x -C "$top"
}

beside_logs=$(mktemp -d)
beside=()
# The trap's own status would be the script's: a job gone is no failure.
trap 'rm -rf "$beside_logs"; kill "${beside[@]}" 2>/dev/null || true' EXIT
top=$PWD as=()
for job in "${BESIDE[@]}"; do
	read -r dir test niceness <<<"$job"
	beside+=("")
	build_tree build && build_tree "$dir" || continue
	echo "=== $dir: $test, beside the rest"
	# Verbose: their figures (times, CPU per request) are printed, passed or not.
	nice -n "$niceness" ctest --test-dir "$dir" -R "^$test\$" --no-tests=error -V \
		>"$beside_logs/$test" 2>&1 &
	beside[-1]=$!
done
apart=$(printf '%s\n' "${BESIDE[@]}" | cut -d' ' -f2 | paste -sd '|')

for run in "${RUNS[@]}"; do
	read -r dir labels client reason user <<<"$run"
	env=() on="its own client" top=$PWD as=() skip=$apart
	if [ "$client" != - ]; then
		# Its poll-events is beside it, in every archive.
		env=(OTHER_POLL_CLIENT="$shipped/$client" OTHER_POLL_EVENTS="$shipped/${client%/*}/poll-events") on=$client
		# A Debian package's poll-events: lab_mqtt_board is the static builds'
		# (armel's is the universal one: the package test).
		[ "$reason" = - ] || env+=(OTHER_LIBC_REASON="$PWD/$dir/tests/libc_reason_system") skip+="|lab_mqtt_board"
	fi
	if [ "$user" != - ] && [ "$(id -u)" -eq 0 ]; then
		on+=", as $user"
		as_user "$user" || { failed+=("$dir: a copy for $user"); continue; }
	fi
	echo "=== $dir: $labels, on $on"
	build_tree "$dir" || { failed+=("$dir: build"); continue; }
	"${as[@]}" env "${env[@]}" ctest --test-dir "$top/$dir" -L "^($labels)\$" -E "^($skip)\$" \
		--no-tests=error --output-on-failure -j "$jobs" || failed+=("$dir on $on")
done

for i in "${!BESIDE[@]}"; do
	read -r dir test _ <<<"${BESIDE[$i]}"
	echo "=== $dir: $test"
	[ -n "${beside[$i]}" ] && wait "${beside[$i]}" || failed+=("$dir: $test")
	cat "$beside_logs/$test" 2>/dev/null
done
beside=()

echo "=== the clients that ship: bytes"
ls -l "$shipped"/*/usr/bin/poll-client "$shipped"/*/poll-client 2>/dev/null |
	awk '{ sub(".*/build-shipped/", "", $NF); printf "%8d  %s\n", $5, $NF }'

if [ ${#failed[@]} -gt 0 ]; then
	echo "test-all: FAILED in: ${failed[*]}" >&2
	exit 1
fi
echo "test-all: all trees passed"
