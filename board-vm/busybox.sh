#!/bin/bash
# busybox.sh: prints the path of a static BusyBox for this machine's own
# architecture, Debian's busybox-static, fetched first if the cache has none
# for this recipe: the init and shell of the BusyBox board (pizero test),
# without installing it, as it replaces a system's own busybox.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

say() { echo "board-vm: $*" >&2; }

if [ "${1:-}" != --make ]; then
	dir=$("$here/../tests/tools/cache.sh" busybox "$0" -- "$0" --make)
	echo "$dir/busybox"
	exit
fi
work=$2
say "fetching busybox-static into $work"
(cd "$work" && apt-get download -q busybox-static) >&2 2>/dev/null ||
	(cd "$work" && apt-get update -qq && apt-get download -q busybox-static) >&2 || {
	say "cannot fetch busybox-static from the Debian archive $("$here/../tests/tools/debian-mirror.sh"), and the cache $(dirname "$work") has none yet"
	exit 1
}
dpkg-deb --fsys-tarfile "$work"/busybox-static_*.deb | tar -xO ./bin/busybox >"$work/busybox"
chmod 755 "$work/busybox"
rm -f "$work"/*.deb
