#!/bin/bash
# sizes.sh: the stripped size of poll-client in each build tree that exists
# (run scripts/test-all.sh first to have them all).
set -uo pipefail
cd "$(dirname "$0")/.."

tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
printf '| %-10s | %-7s | %14s | %14s |\n' arch linkage "bytes" "stripped bytes"
printf '|%s|%s|%s|%s|\n' ------------ --------- ---------------- ----------------
for tree in build:amd64:dynamic:strip build-static:amd64:static:strip \
	build-armhf:armhf:dynamic:arm-linux-gnueabihf-strip \
	build-armhf-static:armhf:static:arm-linux-gnueabihf-strip; do
	IFS=: read -r dir arch linkage strip <<<"$tree"
	[ -x "$dir/poll-client" ] || continue
	"$strip" -o "$tmp" "$dir/poll-client" || continue
	printf '| %-10s | %-7s | %14s | %14s |\n' "$arch" "$linkage" \
		"$(stat -c %s "$dir/poll-client")" "$(stat -c %s "$tmp")"
done
