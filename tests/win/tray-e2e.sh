#!/bin/bash
# Quillon.exe under Wine on a virtual display with a tray host (Xvfb and trayer): its first start
# writes settings.ini and shows the welcome window, its icon docks in the tray, and a right click on
# the icon opens the tray menu. Screenshots are left in <build>/screenshots/.
# Usage: tray-e2e.sh WINDOWS_BUILD_DIR   (copies WINEPREFIX when set). Exit 77 = skipped.
set -u
build=$(realpath "$1")
work=$(mktemp -d /tmp/quillon-tray-e2e.XXXXXX)
. "$(dirname "$0")/e2e.sh"
[ -f "$build/Quillon.exe" ] || { echo "FAILED: $build/Quillon.exe was not built"; exit 1; }
shots=$build/screenshots
mkdir -p "$shots" "$work/program"
own_prefix
start_tray_display || exit 1

cp "$build/Quillon.exe" "$work/program/"
(cd "$work/program" && exec wine Quillon.exe) >"$work/quillon.log" 2>&1 &
pids+=($!)
wait_for 180 test -s "$work/program/settings.ini" || fail "the first start wrote no settings.ini within 3 minutes"
wait_for 120 xdotool search --onlyvisible --name '^Quillon$' >/dev/null || fail "no welcome window appeared"
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
