#!/bin/sh
# debian-mirror.sh: prints the Debian archive that this machine's apt takes
# its packages from, so that the systems the tests build use the same one
# (a local mirror or proxy included) and no file of ours names a host.
set -eu
uri=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 'Label: Debian' 2>/dev/null |
	head -n 1)
[ -n "$uri" ] || { echo "debian-mirror: no Debian archive in apt's sources (apt-get update?)" >&2; exit 1; }
echo "${uri%/}"
