#!/bin/bash
# debian-tarball.sh CACHE NAME MMDEBSTRAP_ARG..: prints the path of a tarball
# of a minimal Debian made by "mmdebstrap --format=tar MMDEBSTRAP_ARG..",
# making it first if CACHE has none for this recipe. It is CACHE/NAME-KEY.tar,
# KEY a hash of the recipe; NAME's tarballs of other recipes are removed.
# Needs root; a foreign architecture also needs run-foreign.sh first.
set -euo pipefail
cache=$1 name=$2
shift 2
recipe=(mmdebstrap --format=tar "$@")
tarball=$cache/$name-$(printf '%s\n' "${recipe[*]}" | sha256sum | cut -c1-12).tar
if [ ! -s "$tarball" ]; then
	echo "debian-tarball: making $name (a minute or two)" >&2
	mkdir -p "$cache"
	rm -f "$cache/$name"-*.tar
	"${recipe[@]}" "$tarball.part" >"$tarball.log" 2>&1 ||
		{ tail -n 20 "$tarball.log" >&2; rm -f "$tarball.part" "$tarball.log"; exit 1; }
	mv "$tarball.part" "$tarball"
	rm -f "$tarball.log"
fi
echo "$tarball"
