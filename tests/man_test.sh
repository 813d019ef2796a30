#!/bin/bash
# The manual pages render cleanly: no warnings from man or groff.
source "$(dirname "$0")/lib.sh"
command -v man >/dev/null || t_skip_or_fail "man not found"

for page in "$T_HERE"/../man/*.1; do
	warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
	t_eq "$(basename "$page"): no warnings" "$warnings" ""
	t_match "$(basename "$page"): renders a NAME section" \
		"$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | sed -n 3,4p)" "^NAME"
done

t_finish
