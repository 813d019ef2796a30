#!/bin/bash
# newcomer_systems.sh: prints "RELEASE TARBALL" for each bare Debian of the
# newcomer test (mmdebstrap's minbase, nothing added but dpkg's settings to
# leave out manual pages, documentation and locales and not to sync), each
# made first if the cache has none.
set -euo pipefail
for release in bookworm trixie; do
	echo "$release $("$(dirname "$0")/../scripts/debian-tarball.sh" "newcomer-$release" --variant=minbase \
		--dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
		--dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt=force-unsafe-io "$release")"
done
