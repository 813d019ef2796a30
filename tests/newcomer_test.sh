#!/bin/bash
# A newcomer's first steps, as root of a bare Debian 12 and 13 (fixtures:
# newcomer_systems.sh), with a copy of what git holds: the demo shows lines;
# on 13 the set-up goes through with a source mid-sync, enables no service,
# and a native tree passes the quick check. Only apt's .deb files are kept,
# and serve where the archive does not answer (docs/testing.md, "Caches").
source "$(dirname "$0")/lib.sh"

# Debian's downloaded packages, per release.
APT_CACHE=$("$T_HERE/../scripts/cache.sh" --dir)/newcomer-apt
# The whole of one release's run, set-up included, at most (seconds).
RUN_LIMIT_S=900

systems=$("$T_HERE/newcomer_systems.sh") || t_skip_or_fail "no bare Debian systems (above)"
mapfile -t systems <<<"$systems"
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

for system in "${systems[@]}"; do
	read -r release tarball <<<"$system"
	start=$SECONDS
	NET=
	[ "$release" != bookworm ] || ! ls "$APT_CACHE/$release"/*.deb >/dev/null 2>&1 || NET=--net
	root=$T_DIR/$release
	mkdir -p "$root/src" "$APT_CACHE/$release"
	# Device nodes come from the host's /dev: no user namespace may make them.
	tar -x -C "$root" -f "$tarball" --exclude='./dev/?*'
	cp /etc/resolv.conf "$root/etc/resolv.conf"
	git -C "$src" ls-files -z | tar -c -C "$src" --null -T - | tar -x -C "$root/src"
	# shellcheck disable=SC2086
	if ! unshare $NET "$src/scripts/debian-mirror.sh" --answers "$release"; then
		use_cached_copy "$root" "$APT_CACHE/$release" || {
			t_fail "$release: the Debian archive $("$src/scripts/debian-mirror.sh") does not answer, and the cache $APT_CACHE/$release has no packages yet"
			continue
		}
	fi

	in_system "$root" "$APT_CACHE/$release" "CI=${CI:-} ./scripts/demo.sh 5" \
		>"$T_DIR/demo.out" 2>"$T_DIR/demo.err"
	status=$?
	[ $status -eq 0 ] || tail -n 20 "$T_DIR/demo.err" >&2
	t_eq "$release: the demo's status" $status 0
	t_match "$release: the demo shows detection lines" "$(head -n 1 "$T_DIR/demo.out" | detections)" \
		'^(north|east|gate) [0-9.]+$'
	if [ "$release" = trixie ]; then
		add_stale_source "$root"
		in_system "$root" "$APT_CACHE/$release" "./scripts/install-deps.sh test" >"$T_DIR/deps.out" 2>&1
		status=$?
		# Foreign packages that the archive, mid-sync, or its cached copy does
		# not serve are its gap, not the set-up's: the native part is what a
		# newcomer needs first.
		unfound=$(sed -n 's/^install-deps: could not install \(.*\): the archive .*/\1/p' "$T_DIR/deps.out")
		if [ $status -ne 0 ] && [ -n "$unfound" ] && ! printf '%s\n' $unfound | grep -qv ':'; then
			echo "WARNING: $release: the archive did not serve: $unfound"
			status=0
		fi
		[ $status -eq 0 ] || tail -n 20 "$T_DIR/deps.out" >&2
		t_eq "$release: the test command's set-up, with a stale index" $status 0
		t_match "$release: the set-up names the stale index" "$(cat "$T_DIR/deps.out")" \
			'install-deps:   E: Failed to fetch file:/srv/stale/.*Hash Sum mismatch'
		t_eq "$release: no service of the set-up's packages enabled" \
			"$(find "$root/etc/systemd/system" -path '*.wants/*' -name 'mosquitto*')" ""
		in_system "$root" "$APT_CACHE/$release" "CI=${CI:-} cmake -S . -B build -DPOLL_CLIENT_TESTS=ON >/dev/null &&
			cmake --build build -j $(nproc) >/dev/null &&
			ctest --test-dir build -L 'unit|client|lab' -j $(nproc) \
				--output-on-failure --no-tests=error" >"$T_DIR/tests.out" 2>&1
		status=$?
		[ $status -eq 0 ] || tail -n 30 "$T_DIR/tests.out" >&2
		t_eq "$release: a native tree builds, and its quick check passes" $status 0
	fi
	rm -rf "$root"
	echo "$release: $((SECONDS - start)) s"
done

t_finish
