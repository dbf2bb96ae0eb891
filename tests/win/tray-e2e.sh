#!/bin/bash
# Quillon.exe under Wine on a virtual display with a tray host (Xvfb and trayer): its first start
# writes settings.ini and shows the welcome window at 615x467, its icon docks in the tray, and a
# right click on the icon opens the tray menu. Screenshots are left in <build>/screenshots/.
# Usage: tray-e2e.sh WINDOWS_BUILD_DIR   (copies WINEPREFIX when set). Exit 77 = skipped.
set -u
build=$(realpath "$1")
command -v wine >/dev/null || { echo "Skipped: wine is not installed"; exit 77; }
[ -f "$build/Quillon.exe" ] || { echo "FAILED: $build/Quillon.exe was not built"; exit 1; }

work=$(mktemp -d /tmp/quillon-tray-e2e.XXXXXX)
shots=$build/screenshots
mkdir -p "$shots" "$work/program"
# A prefix of its own (a copy of the run's prepared one where there is one): its own Wine session,
# whose desktop and tray belong to this display.
if [ -d "${WINEPREFIX:-}" ]; then
    cp -a "$WINEPREFIX" "$work/prefix"
else
    sh "$(dirname "$0")/prepare-wine-prefix.sh" "$work/prefix" || exit 1
fi
export WINEPREFIX=$work/prefix
unset QT_QPA_PLATFORM
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
. "$(dirname "$0")/virtual-display.sh"
start_tray_display || exit 1

cp "$build/Quillon.exe" "$work/program/"
(cd "$work/program" && exec wine Quillon.exe) >"$work/quillon.log" 2>&1 &
pids+=($!)
start=$(date +%s)

wait_for 180 test -s "$work/program/settings.ini" ||
    fail "the first start wrote no settings.ini within 3 minutes: $(cat "$work/quillon.log")"
welcome=""
wait_for 120 xdotool search --onlyvisible --name '^Quillon$' >/dev/null &&
    welcome=$(xdotool search --onlyvisible --name '^Quillon$' | head -n 1)
if [ -z "$welcome" ]; then
    fail "no welcome window titled \"Quillon\" appeared"
else
    geometry=$(xwininfo -id "$welcome" | sed -n 's/^ *Width: //p; s/^ *Height: //p' | paste -sd x)
    [ "$geometry" = "615x467" ] || fail "the welcome window is $geometry, not 615x467"
    echo "welcome window: $geometry after $(($(date +%s) - start)) s"
fi

find_tray_icon
sleep 2
import -window root "$shots/first-start.png"
if [ -n "$tray_icon" ] && open_tray_menu; then
    sleep 1
    import -window root "$shots/tray-menu.png"
fi

echo "screenshots: $shots/first-start.png $shots/tray-menu.png"
[ "$failures" -eq 0 ] && echo "Quillon.exe on the virtual display: settings.ini, welcome window, tray icon and menu" ||
    { echo "== Quillon.exe's output:"; cat "$work/quillon.log"; exit 1; }
