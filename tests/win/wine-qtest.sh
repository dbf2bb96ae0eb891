#!/bin/sh
# Runs one cross-built QtTest program under Wine. QtTest on Windows hands its log to the debugger
# when no console window is attached, so the log goes to a file that is printed afterwards.
# Usage: wine-qtest.sh TEST.exe [QtTest arguments]
exe=$1
shift
log=$(mktemp "${TMPDIR:-/tmp}/quillon-qtest.XXXXXX")
code=0
wine "$exe" -o "$log,txt" "$@" || code=$?
cat "$log" && rm -f "$log"
[ "$code" -eq 0 ] || echo "FAILED: $(basename "$exe") ended with exit code $code"
exit "$code"
