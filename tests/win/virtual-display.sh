# Helpers of the Wine runs that show Quillon.exe's windows, sourced by them: a virtual display with a
# tray host (Xvfb and trayer), and the tray icon and menu that Wine docks there. The caller sets $work
# (a scratch folder) and lists the processes it starts in $pids; at the end Wine, those processes and
# $work go.
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

# Starts Xvfb and trayer, and exports DISPLAY; sets tray_host to trayer's panel. False when either
# does not start.
start_tray_display() {
    for tool in Xvfb trayer xdotool xwininfo import; do
        command -v "$tool" >/dev/null || { echo "Skipped: $tool is not installed"; exit 77; }
    done
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
    pids+=($!)
    wait_for 30 test -s "$work/display" || { fail "Xvfb did not start: $(cat "$work/xvfb.log")"; return 1; }
    export DISPLAY=:$(head -n 1 "$work/display")
    trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
        --transparent false --tint 0xd0d0d0 >"$work/trayer.log" 2>&1 &
    pids+=($!)
    wait_for 30 xdotool search --name '^panel$' >/dev/null ||
        { fail "trayer did not start: $(cat "$work/trayer.log")"; return 1; }
    tray_host=$(xdotool search --name '^panel$' | head -n 1)
}

# The visible windows of Quillon.exe, one id a line.
program_windows() { xdotool search --onlyvisible --class Quillon.exe 2>/dev/null | sort; }

# Waits for the tray icon, a window of Wine's explorer docked in trayer's panel; sets tray_icon.
find_tray_icon() {
    tray_icon=""
    docked() { tray_icon=$(xwininfo -tree -id "$tray_host" | awk '/"explorer.exe"/ {print $1; exit}'); [ -n "$tray_icon" ]; }
    wait_for 60 docked || { fail "no icon docked in the tray: $(xwininfo -tree -id "$tray_host")"; return 1; }
}

# Right-clicks the tray icon until Qt's menu, one more window on the screen, opens; sets tray_menu
# to it. A busy machine may lose a click that comes before the program listens: three tries.
open_tray_menu() {
    local before
    before=$(program_windows)
    tray_menu=""
    eval "$(xdotool getwindowgeometry --shell "$tray_icon")"
    new_window() { tray_menu=$(comm -13 <(echo "$before") <(program_windows) | head -n 1); [ -n "$tray_menu" ]; }
    for _ in 1 2 3; do
        xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
        wait_for 10 new_window && return 0
    done
    fail "a right click on the tray icon opened no menu"
    return 1
}
