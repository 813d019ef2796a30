#!/bin/bash
# newcomer_systems.sh: prints "RELEASE TARBALL" for each Debian of the
# newcomer test: a bare Debian 12 (minbase; dpkg leaves out documentation and
# does not sync), and a Debian 13 after the test command's set-up
# (newcomer_test.sh --set-up), kept for as long as what the set-up depends
# on, its scripts and the archive's index, stays the same; where the archive
# does not answer, the last one kept.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$here/..
bare() {
	"$here/tools/debian-tarball.sh" "newcomer-$1" --variant=minbase \
		--dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
		--dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt=force-unsafe-io "$1"
}
echo "bookworm $(bare bookworm)"
trixie=$(bare trixie)
if index=$("$here/tools/debian-mirror.sh" --index trixie); then
	dir=$("$here/tools/cache.sh" newcomer-trixie-set-up "$src/scripts/install-deps.sh" \
		"$src/scripts/run-foreign.sh" "$src/lab/common.sh" "$here/newcomer_test.sh" -- \
		"$here/newcomer_test.sh" --set-up "$trixie" "$index")
else
	dir=$(ls -d "$("$here/tools/cache.sh" --dir)"/newcomer-trixie-set-up-*[0-9a-f] 2>/dev/null | head -n 1)
	[ -e "$dir/.done" ] || { echo "newcomer: the Debian archive does not answer, and no set-up of Debian 13 is kept" >&2; exit 1; }
	echo "newcomer: the Debian archive does not answer: the Debian 13 set-up kept in $dir" >&2
fi
echo "trixie $dir/root.tar.zst"
