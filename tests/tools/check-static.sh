#!/bin/bash
# check-static.sh BUILD_DIR WHAT: one static check, by WHAT: clang-tidy,
# cppcheck or clang-format's check on the client (src/) and the tools (tools/,
# bench/, tests/helpers/), or shellcheck on every shell file that git holds.
# BUILD_DIR holds compile_commands.json for clang-tidy.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
build=$1 what=$2

sources=(src/*.cpp poll-events/*.cpp tools/*/*.cpp tests/helpers/*.cpp bench/*.cpp)
# shell_files: every tracked shell file, by its name or its interpreter line.
shell_files() { { git ls-files '*.sh' && git grep -lE '^#!/bin/(ba)?sh'; } | sort -u; }
case $what in
clang-tidy)
	clang-tidy -p "$build" --quiet "${sources[@]}" 2>&1 |
		grep -v 'warnings generated\|^Suppressed\|^Use -header-filter\|NOLINT' >"$build/clang-tidy.log"
	status=${PIPESTATUS[0]}
	cat "$build/clang-tidy.log"
	;;
cppcheck)
	cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
		--std=c++20 --language=c++ -q -I src "${sources[@]}"
	status=$?
	;;
format)
	mapfile -t files < <(git ls-files '*.cpp' '*.h')
	clang-format --dry-run --Werror "${files[@]}"
	status=$?
	;;
shellcheck)
	mapfile -t files < <(shell_files)
	shellcheck -S warning "${files[@]}"
	status=$?
	echo "shellcheck: ${#files[@]} files"
	;;
*)
	echo "usage: check-static.sh BUILD_DIR clang-tidy|cppcheck|format|shellcheck" >&2
	exit 2
	;;
esac
if [ "$status" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$status"
