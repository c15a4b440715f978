# Sourced by the packaging checks: fail records a failed check and goes on, die stops at once,
# passed ends the run with the count of failures.
failures=0
fail() {
	echo "FAIL: $*" >&2
	failures=$((failures + 1))
}
die() {
	echo "FAIL: $*" >&2
	exit 1
}
# passed WHAT: exits 1 if any check failed, else says WHAT passed.
passed() {
	[ "$failures" -eq 0 ] || die "$failures check(s) failed"
	echo "$1 passed"
}
