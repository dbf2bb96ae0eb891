#!/bin/sh
# Runs the Windows layer's tests under Wine in a fresh, throw-away prefix: first as Windows 7, then as Windows 10.
# Usage: run-wine-tests.sh <folder of the cross-built executables>. Exit code 77 = skipped.
exe_dir=$1
command -v wine >/dev/null || { echo "Skipped: wine is not installed"; exit 77; }
[ -f "$exe_dir/tst_winplatform.exe" ] || { echo "$exe_dir/tst_winplatform.exe was not built"; exit 1; }
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/quillon-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null; rm -rf "$WINEPREFIX" "$WINEPREFIX-temp" "$WINEPREFIX-boot.log"' EXIT
trap 'exit 1' INT TERM
start=$(date +%s)
sh "$(dirname "$0")/prepare-wine-prefix.sh" "$WINEPREFIX" || exit 1

# Runs one test program as the Windows version $1; a failure says which run failed and how it ended.
run() {
    echo "== Windows version: $1"
    wine reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1 ||
        { echo "Could not set the Windows version of the prefix"; return 1; }
    shift
    code=0
    wine "$@" || code=$?
    [ "$code" -eq 0 ] || echo "FAILED (exit code $code): wine $*"
    return "$code"
}
set -e
run win7 "$exe_dir/tst_winplatform.exe" '--test-suite-exclude=win10*'
run win10 "$exe_dir/tst_winplatform.exe" --test-suite=win10
run win10 "$exe_dir/tst_winplatform_nosupportedos.exe" --test-suite=win10-nosupportedos
echo "Wine tests took $(($(date +%s) - start)) s, prefix set-up included"
