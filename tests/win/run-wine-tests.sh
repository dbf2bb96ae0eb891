#!/bin/sh
# Runs the Windows layer's tests under Wine in a fresh, throw-away prefix: first as Windows 7, then as Windows 10.
# Usage: run-wine-tests.sh <folder of the cross-built executables>. Exit code 77 = skipped.
exe_dir=$1
wine=$(command -v wine || command -v wine64 || command -v /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || command -v /usr/lib/wine/wineserver64)
if [ -z "$wine" ]; then
    echo "Skipped: wine is not installed"
    exit 77
fi
if [ ! -f "$exe_dir/tst_winplatform.exe" ]; then
    echo "$exe_dir/tst_winplatform.exe was not built"
    exit 1
fi

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/quillon-wine.XXXXXX")
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
cleanup() {
    [ -n "$wineserver" ] && "$wineserver" -k 2>/dev/null
    rm -rf "$WINEPREFIX" "$WINEPREFIX-temp" "$WINEPREFIX-boot.log"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
start=$(date +%s)
# The prefix is made before the first test, with its own time limit, so a slow first start is not a failure.
sh "$(dirname "$0")/prepare-wine-prefix.sh" "$WINEPREFIX" || exit 1

set_version() {
    echo "== Windows version: $1"
    output=$("$wine" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f 2>&1) || {
        echo "Could not set the Windows version of the prefix: $output"
        return 1
    }
}

# Runs one test program; a failure says which run failed and how it ended.
run() {
    code=0
    "$wine" "$@" || code=$?
    [ "$code" -eq 0 ] || echo "FAILED (exit code $code): wine $*"
    return "$code"
}

set -e
set_version win7
run "$exe_dir/tst_winplatform.exe" '--test-suite-exclude=win10*'
set_version win10
run "$exe_dir/tst_winplatform.exe" --test-suite=win10
run "$exe_dir/tst_winplatform_nosupportedos.exe" --test-suite=win10-nosupportedos
echo "Wine tests took $(($(date +%s) - start)) s, prefix set-up included"
