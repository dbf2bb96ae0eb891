#!/bin/sh
# Makes a fresh Wine prefix for a test run, once, before any test needs it: a first prefix can take
# minutes on a busy machine, so it gets a generous time limit and says why when it fails. Its
# temporary folder lies on drive Z: (Wine's view of "/"), so the Linux test servers that the
# Windows tests start can read the trees the tests make there.
# Usage: prepare-wine-prefix.sh PREFIX   (PREFIX is removed and made anew)
prefix=$1
wine=$(command -v wine || command -v wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
[ -n "$prefix" ] && [ -n "$wine" ] || { echo "usage: $0 PREFIX (and wine installed)" >&2; exit 64; }
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$prefix" "$prefix-temp"
mkdir -p "$prefix" "$prefix-temp"
log=$prefix-boot.log
start=$(date +%s)
if ! timeout 900 "$wine" wineboot --init >"$log" 2>&1 || ! timeout 300 "$wineserver" -w; then
    echo "Wine could not set up the prefix $prefix within 15 minutes; its output:" >&2
    cat "$log" >&2
    exit 1
fi
temp="Z:$(printf '%s' "$prefix-temp" | tr / '\\')"
for variable in TEMP TMP; do
    if ! timeout 300 "$wine" reg add 'HKCU\Environment' /v "$variable" /d "$temp" /f >"$log" 2>&1; then
        echo "Wine could not set $variable in the prefix $prefix; its output:" >&2
        cat "$log" >&2
        exit 1
    fi
done
timeout 300 "$wineserver" -w
echo "Wine prefix ready in $(($(date +%s) - start)) s: $prefix"
