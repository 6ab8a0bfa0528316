#!/bin/sh
# Usage: expect_failure.sh OMBREL_SCHEME FILE TEXT
# Passes when ombrel-scheme, given FILE, exits with status 1 and prints TEXT on standard output.
output=$("$1" "$2" 2>/dev/null)
status=$?
if [ "$status" -ne 1 ]; then
    printf 'exit status %s, expected 1; output:\n%s\n' "$status" "$output"
    exit 1
fi
case "$output" in
*"$3"*) exit 0 ;;
esac
printf 'output lacks "%s":\n%s\n' "$3" "$output"
exit 1
