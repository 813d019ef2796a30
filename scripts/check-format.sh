#!/bin/bash
# check-format.sh: every C++ file is as clang-format (.clang-format) leaves it.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
bad=0
for f in $(git ls-files --cached --others --exclude-standard '*.cpp' '*.h' 2>/dev/null || find src tools tests bench -name '*.cpp' -o -name '*.h'); do
	if ! clang-format "$f" | diff -u "$f" - >/dev/null; then
		echo "not formatted: $f (clang-format -i $f)"
		bad=$((bad + 1))
	fi
done
echo "format: $bad file(s) to format"
[ "$bad" -eq 0 ]
