#!/bin/bash
# debian-tarball.sh NAME MMDEBSTRAP_ARG..: prints the path of a tarball of a
# minimal Debian that "mmdebstrap --format=tar MMDEBSTRAP_ARG.. MIRROR" makes
# from this machine's archive (debian-mirror.sh), cached as NAME, keyed by
# the arguments and the mirror. A foreign architecture needs run-foreign.sh.
set -euo pipefail
if [ "${1:-}" = --make ]; then
	shift
	# ARG.. MIRROR OUT, for mmdebstrap's order: options, suite, target, mirror.
	release=${*: -3:1} mirror=${*: -2:1} out=${*: -1}
	"$(dirname "$0")/debian-mirror.sh" --answers "$release" || {
		echo "debian-tarball: the Debian archive $mirror does not answer, and the cache $(dirname "$out") has no such system yet" >&2
		exit 1
	}
	mmdebstrap --quiet --mode=unshare --format=tar --hook-dir=/usr/share/mmdebstrap/hooks/eatmydata \
		"${@:1:$#-2}" "$out/root.tar" "$mirror"
	exit
fi
name=${1:?usage: debian-tarball.sh NAME MMDEBSTRAP_ARG..}
shift
here=$(dirname "$0")
mirror=$("$here/debian-mirror.sh")
dir=$("$here/cache.sh" "$name" "$0" -- "$0" --make "$@" "$mirror")
echo "$dir/root.tar"
