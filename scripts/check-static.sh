#!/bin/bash
# check-static.sh BUILD_DIR WHAT: clang-tidy, cppcheck or the format check on
# the client (src/) and the tools (tools/, bench/, tests/helpers/).
# BUILD_DIR holds compile_commands.json for clang-tidy.
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1 what=$2

sources=$(ls src/*.cpp tools/*/*.cpp tests/helpers/*.cpp bench/*.cpp 2>/dev/null)
case $what in
clang-tidy)
	# shellcheck disable=SC2086
	clang-tidy -p "$build" --quiet $sources 2>&1 | grep -v 'warnings generated\|^Suppressed\|^Use -header-filter\|NOLINT' >"$build/clang-tidy.log"
	status=${PIPESTATUS[0]}
	cat "$build/clang-tidy.log"
	;;
cppcheck)
	# shellcheck disable=SC2086
	cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
		--std=c++20 --language=c++ -q -I src $sources
	status=$?
	;;
format)
	./scripts/check-format.sh
	status=$?
	;;
*)
	echo "usage: check-static.sh BUILD_DIR clang-tidy|cppcheck|format" >&2
	exit 2
	;;
esac
if [ "$status" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$status"
