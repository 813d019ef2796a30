#!/bin/bash
# cache.sh NAME RECIPE_FILE.. -- BUILDER [ARG..]: prints the folder that holds
# what "BUILDER ARG.. FOLDER" makes, making it first if the cache has none for
# this recipe: NAME-KEY in the caller's cache, KEY a hash of the RECIPE_FILEs
# (the builder among them) and the builder's arguments, never of a path, so
# that every clone finds it. A new recipe of NAME removes the older ones and
# what a killed making left; two makings of one NAME at once are not
# supported. cache.sh --dir: prints the cache's folder.
set -euo pipefail
KEY_DIGITS=16

usage() {
	echo "usage: cache.sh NAME RECIPE_FILE.. -- BUILDER [ARG..] | --dir" >&2
	exit 2
}

cache=${POLL_CLIENT_CACHE:-${XDG_CACHE_HOME:-${HOME:?no HOME for the cache}/.cache}/poll-client}
if [ "${1:-}" = --dir ]; then
	echo "$cache"
	exit
fi
[ $# -ge 3 ] || usage
name=$1
shift
files=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
	files+=("$1")
	shift
done
[ $# -ge 2 ] || usage
shift
key=$({ cat "${files[@]}"; printf '%s\n' "${@:2}"; } | sha256sum | cut -c1-$KEY_DIGITS)
out=$cache/$name-$key
if [ ! -e "$out/.done" ]; then
	echo "cache: making $name in $out" >&2
	mkdir -p "$cache"
	rm -rf "$cache/$name"-*.part
	mkdir "$out.part"
	"$@" "$out.part" >&2 || { rm -rf "$out.part"; echo "cache: making $name failed" >&2; exit 1; }
	touch "$out.part/.done"
	mv "$out.part" "$out"
	for old in "$cache/$name"-*; do
		[ "$old" = "$out" ] || [[ ! ${old#"$cache/$name"-} =~ ^[0-9a-f]{$KEY_DIGITS}$ ]] || rm -rf "$old"
	done
fi
echo "$out"
