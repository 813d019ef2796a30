#!/bin/bash
# newcomer_systems.sh: prints "RELEASE TARBALL" for each bare Debian of the
# newcomer test (minbase; dpkg leaves out documentation and does not sync).
set -euo pipefail
for release in bookworm trixie; do
	echo "$release $("$(dirname "$0")/../scripts/debian-tarball.sh" "newcomer-$release" --variant=minbase \
		--dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
		--dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt=force-unsafe-io "$release")"
done
