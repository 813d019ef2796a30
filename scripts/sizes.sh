#!/bin/bash
# sizes.sh: the stripped size of poll-client in each build tree that exists
# (run scripts/test-all.sh first to have them all).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
printf '| %-10s | %-13s | %14s | %14s |\n' arch linkage "bytes" "stripped bytes"
printf '|%s|%s|%s|%s|\n' ------------ --------------- ---------------- ----------------
for tree in build:amd64:glibc-dynamic:strip build-static:amd64:musl-static:strip \
	build-armhf:armhf:glibc-dynamic:arm-linux-gnueabihf-strip \
	build-arm-musl:armel:musl-static:arm-linux-gnueabi-strip \
	build-arm64-musl:arm64:musl-static:aarch64-linux-gnu-strip; do
	IFS=: read -r dir arch linkage strip <<<"$tree"
	[ -x "$dir/poll-client" ] || continue
	"$strip" -o "$tmp" "$dir/poll-client" || continue
	printf '| %-10s | %-13s | %14s | %14s |\n' "$arch" "$linkage" \
		"$(stat -c %s "$dir/poll-client")" "$(stat -c %s "$tmp")"
done
