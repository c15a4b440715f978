#!/bin/sh
# Runs mandoc's linter over the manual pages given: any message at all (errors, warnings, style)
# fails. mandoc comes with scripts/setup.
set -u
command -v mandoc >/dev/null || { echo "FAIL: mandoc is not installed (scripts/setup installs it)"; exit 1; }
status=0
for page in "$@"; do
	[ -f "$page" ] || { echo "FAIL: no manual page at $page"; status=1; continue; }
	messages=$(mandoc -Tlint "$page" 2>&1)
	if [ $? -ne 0 ] || [ -n "$messages" ]; then
		echo "FAIL: $page:"
		echo "$messages"
		status=1
	fi
done
[ $status -eq 0 ] && echo "manual pages: $# pass mandoc -Tlint"
exit $status
