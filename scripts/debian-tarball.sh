#!/bin/bash
# debian-tarball.sh NAME MMDEBSTRAP_ARG..: prints the path of a tarball of a
# minimal Debian made by "mmdebstrap --format=tar MMDEBSTRAP_ARG..", cached
# by scripts/cache.sh as NAME, keyed by the arguments. Needs root; a foreign
# architecture also needs run-foreign.sh first.
set -euo pipefail
if [ "${1:-}" = --make ]; then
	shift
	out=${*: -1}
	mmdebstrap --quiet --format=tar "${@:1:$#-1}" "$out/root.tar"
	exit
fi
name=${1:?usage: debian-tarball.sh NAME MMDEBSTRAP_ARG..}
shift
dir=$("$(dirname "$0")/cache.sh" "$name" "$0" -- "$0" --make "$@")
echo "$dir/root.tar"
