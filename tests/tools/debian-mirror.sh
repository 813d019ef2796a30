#!/bin/sh
# debian-mirror.sh: prints the Debian archive that this machine's apt takes
# its packages from, so that the systems the tests build use the same one
# (a local mirror or proxy included) and no file of ours names a host.
# debian-mirror.sh --answers RELEASE: true if that archive serves RELEASE's
# index now, quietly; --index RELEASE: prints that index's hash, or fails.
set -eu
# How long the archive may take to answer, in seconds.
ANSWER_LIMIT_S=20
# The first source whose Release file, as apt keeps it, is labelled Debian's.
# apt is asked for the sources alone, with no lists: with them, where its
# package cache is off (as in containers), it builds one anew, for seconds.
lists=/var/lib/apt/lists/
eval "$(apt-config shell lists Dir::State::lists/d)"
uri=$(apt-get indextargets --no-release-info -o Dir::State::Lists=/nonexistent \
	--format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' 2>/dev/null | while read -r repo suite; do
	release=$lists$(printf '%sdists/%s/' "${repo#*://}" "$suite" | sed 's/_/%5f/g; s,/,_,g')
	if grep -qsx 'Label: Debian' "${release}InRelease" "${release}Release"; then
		echo "$repo"
		break
	fi
done)
[ -n "$uri" ] || { echo "debian-mirror: no Debian archive in apt's sources (apt-get update?)" >&2; exit 1; }
case ${1:-} in
--answers | --index)
	probe=$(mktemp)
	trap 'rm -f "$probe"' EXIT
	timeout $ANSWER_LIMIT_S /usr/lib/apt/apt-helper download-file "${uri%/}/dists/${2:?usage: debian-mirror.sh --answers|--index RELEASE}/InRelease" \
		"$probe" >/dev/null 2>&1
	[ "$1" = --answers ] || sha256sum <"$probe" | cut -d' ' -f1
	exit
	;;
esac
echo "${uri%/}"
