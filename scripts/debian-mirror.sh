#!/bin/sh
# debian-mirror.sh: prints the Debian archive that this machine's apt takes
# its packages from, so that the systems the tests build use the same one
# (a local mirror or proxy included) and no file of ours names a host.
# debian-mirror.sh --answers RELEASE: true if that archive serves RELEASE's
# index now, quietly.
set -eu
# How long the archive may take to answer, in seconds.
ANSWER_LIMIT_S=20
uri=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 'Label: Debian' 2>/dev/null |
	head -n 1)
[ -n "$uri" ] || { echo "debian-mirror: no Debian archive in apt's sources (apt-get update?)" >&2; exit 1; }
if [ "${1:-}" = --answers ]; then
	probe=$(mktemp)
	trap 'rm -f "$probe"' EXIT
	timeout $ANSWER_LIMIT_S /usr/lib/apt/apt-helper download-file "${uri%/}/dists/${2:?usage: debian-mirror.sh --answers RELEASE}/InRelease" \
		"$probe" >/dev/null 2>&1
	exit
fi
echo "${uri%/}"
