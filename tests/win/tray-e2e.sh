#!/bin/bash
# Quillon.exe under Wine on a virtual display with a tray host (Xvfb and trayer): its first start
# writes settings.ini and shows the welcome window at 615x467, its icon docks in the tray, and a
# right click on the icon opens the tray menu. Screenshots are left in <build>/screenshots/.
# Usage: tray-e2e.sh WINDOWS_BUILD_DIR   (copies WINEPREFIX when set). Exit 77 = skipped.
set -u
build=$(realpath "$1")
for tool in Xvfb trayer xdotool xwininfo import wine; do
    command -v "$tool" >/dev/null || { echo "Skipped: $tool is not installed"; exit 77; }
done
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
pids=()
cleanup() {
    timeout 60 wineserver -k 2>/dev/null
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local seconds=$1
    shift
    for _ in $(seq 1 $((seconds * 4))); do "$@" 2>/dev/null && return 0; sleep 0.25; done
    return 1
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 30 test -s "$work/display" || { fail "Xvfb did not start: $(cat "$work/xvfb.log")"; exit 1; }
export DISPLAY=:$(head -n 1 "$work/display")
trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
    --transparent false --tint 0xd0d0d0 >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for 30 xdotool search --name '^panel$' >/dev/null || fail "trayer did not start: $(cat "$work/trayer.log")"
tray_host=$(xdotool search --name '^panel$' | head -n 1)

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

# The tray icon is a window of Wine's explorer docked into trayer's panel.
icon=""
docked() { icon=$(xwininfo -tree -id "$tray_host" | awk '/"explorer.exe"/ {print $1; exit}'); [ -n "$icon" ]; }
wait_for 60 docked || fail "no icon docked in the tray: $(xwininfo -tree -id "$tray_host")"
sleep 2
import -window root "$shots/first-start.png"

if [ -n "$icon" ]; then
    shown() { xdotool search --onlyvisible --class Quillon.exe 2>/dev/null | wc -l; }
    before=$(shown)
    eval "$(xdotool getwindowgeometry --shell "$icon")"
    # Qt's menu is one more window of the program on the screen. A busy machine may lose a click
    # that comes before the program listens: three tries.
    opened=0
    for _ in 1 2 3; do
        xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
        if wait_for 10 test "$(shown)" -gt "$before"; then opened=1; break; fi
    done
    [ "$opened" = 1 ] || fail "a right click on the tray icon opened no menu"
    sleep 1
    import -window root "$shots/tray-menu.png"
fi

echo "screenshots: $shots/first-start.png $shots/tray-menu.png"
[ "$failures" -eq 0 ] && echo "Quillon.exe on the virtual display: settings.ini, welcome window, tray icon and menu" ||
    { echo "== Quillon.exe's output:"; cat "$work/quillon.log"; exit 1; }
