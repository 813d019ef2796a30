#!/bin/bash
# A newcomer's first steps, as root of Debian 12 and 13 (fixtures:
# newcomer_systems.sh), with a copy of what git holds: on a bare 12 the demo
# sets itself up and shows lines; on 13 the test command's set-up goes through
# with a source mid-sync and enables no service (--set-up, kept while what it
# depends on stays the same), a native tree passes the quick check, and the
# demo shows lines, with no network. Debian 12's .deb files are kept, and
# serve where the archive does not answer (docs/testing.md, "Caches").
#   newcomer_test.sh --set-up TARBALL INDEX OUT: the set-up of the system of
#   TARBALL, as root.tar.zst and its output (deps.out) in OUT; fails if it
#   fails.
source "$(dirname "$0")/lib.sh"

# Debian 12's downloaded packages (RELEASE in it); 13's are kept no longer
# than its set-up takes.
APT_CACHE=$("$T_HERE/tools/cache.sh" --dir)/newcomer-apt
rm -rf "$APT_CACHE/trixie"
# The whole of one release's run, set-up included, at most (seconds).
RUN_LIMIT_S=900

src=$(cd "$T_HERE/.." && pwd)

# in_system ROOT APT_CACHE CMD: runs the shell command CMD as root of the
# system at ROOT, in /src, bounded by RUN_LIMIT_S, with the network of NET
# (empty: the host's; --net: none). pivot_root, as the kernel makes no user
# namespace, so no lab, for a chrooted process; the old root stays, under
# an empty tmpfs, as a lab may mount a sysfs only while one is visible.
in_system() {
	# shellcheck disable=SC2086  # NET, one word or none
	timeout -s KILL "$RUN_LIMIT_S" unshare $NET --mount --pid --fork --kill-child=KILL \
		--propagation private sh -c '
		root=$1 apt=$2
		mount --bind "$root" "$root" &&
		mount -t proc proc "$root/proc" &&
		mount --rbind /sys "$root/sys" &&
		mount --rbind /dev "$root/dev" &&
		mount -t tmpfs tmpfs "$root/run" &&
		mount --bind "$apt" "$root/var/cache/apt/archives" &&
		cd "$root" && mkdir -p .host && pivot_root . .host &&
		mount -t tmpfs -o ro,size=4k host-hidden /.host &&
		exec env -u TMPDIR /bin/bash -c "cd /src && $3"' sh "$@"
}

# add_stale_source ROOT: a local source, in the system at ROOT, whose Release
# gives its Packages another size, as a mirror mid-sync serves it.
add_stale_source() {
	local arch index
	arch=$(dpkg --print-architecture)
	index=$1/srv/stale/dists/stale/main/binary-$arch
	mkdir -p "$index"
	printf 'Package: stale-index\nVersion: 1\nArchitecture: all\n' >"$index/Packages"
	printf 'Suite: stale\nCodename: stale\nDate: Thu, 01 Jan 2026 00:00:00 UTC\nArchitectures: %s\nComponents: main\nSHA256:\n %s %s main/binary-%s/Packages\n' \
		"$arch" "$(sha256sum <"$index/Packages" | cut -d' ' -f1)" "$(($(stat -c %s "$index/Packages") + 1))" \
		"$arch" >"$1/srv/stale/dists/stale/Release"
	echo "deb [trusted=yes] file:/srv/stale stale main" >"$1/etc/apt/sources.list.d/stale.list"
}

# use_cached_copy ROOT APT_CACHE: the system at ROOT takes its packages from
# the .deb files in APT_CACHE instead of the archive; false if there are none.
use_cached_copy() {
	ls "$2"/*.deb >/dev/null 2>&1 || return 1
	(cd "$2" && dpkg-scanpackages --multiversion . 2>/dev/null >Packages) || return 1
	echo "deb [trusted=yes] file:/var/cache/apt/archives ./" >"$1/etc/apt/sources.list"
	echo "$release: the archive does not answer: from the cached copy, $(grep -c '^Package:' "$2/Packages") packages"
}

# unpack TARBALL ROOT: the system of TARBALL at ROOT, with a copy of what git
# holds in /src. Device nodes come from the host's /dev: no user namespace
# may make them.
unpack() {
	mkdir -p "$2/src"
	tar -x -C "$2" -f "$1" --exclude='./dev/?*' --exclude='./src/?*'
	cp /etc/resolv.conf "$2/etc/resolv.conf"
	git -C "$src" ls-files -z | tar -c -C "$src" --null -T - | tar -x -C "$2/src"
}

if [ "${T_ARGS[0]:-}" = --set-up ]; then
	tarball=${T_ARGS[1]} index=${T_ARGS[2]} out=${T_ARGS[3]}
	root=$T_DIR/root
	mkdir -p "$T_DIR/apt"
	unpack "$tarball" "$root"
	add_stale_source "$root"
	NET='' in_system "$root" "$T_DIR/apt" "./scripts/install-deps.sh test" >"$out/deps.out" 2>&1
	status=$?
	# Foreign packages that the archive, mid-sync, does not serve are its
	# gap, not the set-up's: the native part is what a newcomer needs first.
	unfound=$(sed -n 's/^install-deps: could not install \(.*\): the archive .*/\1/p' "$out/deps.out")
	if [ $status -ne 0 ] && [ -n "$unfound" ] && ! printf '%s\n' $unfound | grep -qv ':'; then
		echo "WARNING: trixie: the archive did not serve: $unfound" | tee -a "$out/deps.out"
		status=0
	fi
	[ $status -eq 0 ] || { tail -n 20 "$out/deps.out" >&2; exit 1; }
	echo "trixie: the set-up of index $index kept"
	tar -c -C "$root" --exclude='./src/?*' . | zstd -q -1 -T0 -o "$out/root.tar.zst"
	exit
fi

systems=$("$T_HERE/newcomer_systems.sh") || t_skip_or_fail "no Debian systems (above)"
mapfile -t systems <<<"$systems"
for system in "${systems[@]}"; do
	read -r release tarball <<<"$system"
	start=$SECONDS
	root=$T_DIR/$release
	apt=$APT_CACHE/$release
	[ "$release" = bookworm ] || apt=$T_DIR/apt
	mkdir -p "$apt"
	unpack "$tarball" "$root"
	if [ "$release" = trixie ]; then
		deps=$(dirname "$tarball")/deps.out
		t_match "$release: the set-up names the stale index" "$(cat "$deps")" \
			'install-deps:   E: Failed to fetch file:/srv/stale/.*Hash Sum mismatch'
		t_eq "$release: no service of the set-up's packages enabled" \
			"$(find "$root/etc/systemd/system" -path '*.wants/*' -name 'mosquitto*')" ""
		# Nothing of it needs a network: none.
		NET=--net
		in_system "$root" "$apt" "CI=${CI:-} cmake -S . -B build -DPOLL_CLIENT_TESTS=ON >/dev/null &&
			cmake --build build -j $(nproc) >/dev/null &&
			ctest --test-dir build -L 'unit|client|lab' -j $(nproc) \
				--output-on-failure --no-tests=error" >"$T_DIR/tests.out" 2>&1
		status=$?
		[ $status -eq 0 ] || tail -n 30 "$T_DIR/tests.out" >&2
		t_eq "$release: a native tree builds, and its quick check passes" $status 0
	fi
	if [ "$release" = bookworm ]; then
		NET=
		! ls "$APT_CACHE/$release"/*.deb >/dev/null 2>&1 || NET=--net
		# shellcheck disable=SC2086
		if ! unshare $NET "$src/tests/tools/debian-mirror.sh" --answers "$release"; then
			use_cached_copy "$root" "$apt" || {
				t_fail "$release: the Debian archive $("$src/tests/tools/debian-mirror.sh") does not answer, and the cache $APT_CACHE/$release has no packages yet"
				continue
			}
		fi
	fi
	# On 13 the set-up is done, and the demo takes the quick check's tree.
	in_system "$root" "$apt" "CI=${CI:-} ./scripts/demo.sh 5" \
		>"$T_DIR/demo.out" 2>"$T_DIR/demo.err"
	status=$?
	[ $status -eq 0 ] || tail -n 20 "$T_DIR/demo.err" >&2
	t_eq "$release: the demo's status" $status 0
	t_match "$release: the demo shows detection lines" "$(head -n 1 "$T_DIR/demo.out" | detections)" \
		'^(north|east|gate) [0-9.]+$'
	rm -rf "$root"
	echo "$release: $((SECONDS - start)) s"
done

t_finish
