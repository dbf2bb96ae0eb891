#!/bin/sh
# Makes a fresh Wine prefix for a test run, once, before any test needs it: a first prefix can take
# minutes on a busy machine, so it gets a generous time limit and says why when it fails. Its
# temporary folder lies on drive Z: (Wine's view of "/"), so the Linux test servers that the
# Windows tests start can read the trees the tests make there.
# Usage: prepare-wine-prefix.sh PREFIX   (PREFIX is removed and made anew)
prefix=$1
[ -n "$prefix" ] && command -v wine >/dev/null || { echo "usage: $0 PREFIX (and wine installed)" >&2; exit 64; }
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$prefix" "$prefix-temp"
mkdir -p "$prefix" "$prefix-temp"
log=$prefix-boot.log
start=$(date +%s)
temp="Z:$(printf '%s' "$prefix-temp" | tr / '\\')"
# Each step with its time limit; a failing one shows Wine's output.
step() {
    timeout "$@" >"$log" 2>&1 && return
    echo "Wine could not set up the prefix $prefix: timeout $* failed; its output:" >&2
    cat "$log" >&2
    exit 1
}
step 900 wine wineboot --init
step 300 wineserver -w
step 300 wine reg add 'HKCU\Environment' /v TEMP /d "$temp" /f
step 300 wine reg add 'HKCU\Environment' /v TMP /d "$temp" /f
timeout 300 wineserver -w
echo "Wine prefix ready in $(($(date +%s) - start)) s: $prefix"
