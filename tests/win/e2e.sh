# Helpers of the Wine end-to-end runs, sourced by them: clean-up, failures, the test SFTP server, the
# settings, and a virtual display with a tray host (Xvfb and trayer) where Wine docks Quillon.exe's
# tray icon and menu. The caller sets $work (a scratch folder) and $linux_build, and lists the
# processes it starts in $pids; at the end those processes, Wine (when the run has a prefix of its own)
# and $work go.
command -v wine >/dev/null || { echo "Skipped: wine is not installed"; exit 77; }
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset QT_QPA_PLATFORM
pids=()
cleanup() {
    [ "${WINEPREFIX:-}" = "$work/prefix" ] && timeout 60 wineserver -k 2>/dev/null
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
expect() { [ "$2" = "$3" ] || fail "$1: expected \"$3\", got \"$2\""; }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local seconds=$1
    shift
    for _ in $(seq 1 $((seconds * 4))); do "$@" 2>/dev/null && return 0; sleep 0.25; done
    return 1
}

# A Wine prefix of the run's own (a copy of the prepared one in WINEPREFIX where there is one): its own
# Wine session, whose desktop and tray belong to the run's display.
own_prefix() {
    if [ -d "${WINEPREFIX:-}" ]; then
        cp -a "$WINEPREFIX" "$work/prefix"
    else
        sh "$(dirname "${BASH_SOURCE[0]}")/prepare-wine-prefix.sh" "$work/prefix" || exit 1
    fi
    export WINEPREFIX=$work/prefix
}

# Starts a test SFTP server, the command given, which prints "PORT <n>" and "FINGERPRINT <key>" once it
# listens; sets port, fingerprint and server_pid. False when it did not start.
start_server() {
    local line
    coproc SERVER { exec "$@" 2>"$work/server.err"; }
    server_pid=$SERVER_PID
    pids+=("$server_pid")
    port="" fingerprint=""
    while [ -z "$fingerprint" ] && read -r -t 60 line <&"${SERVER[0]}"; do
        case "$line" in PORT\ *) port=${line#PORT } ;; FINGERPRINT\ *) fingerprint=${line#FINGERPRINT } ;; esac
    done
    [ -n "$fingerprint" ] || { fail "the SFTP server did not start: $(cat "$work/server.err")"; return 1; }
}
stop_server() { kill -TERM "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }

# Writes the settings file $1 with the Linux quillon-settings: the server at port $2 with user $3,
# password $4 and host key $5, then the lines after them.
write_settings() {
    printf '[SFTP]\nIP=127.0.0.1\nport=%s\nLogin=%s\nPswd=%s\nHostKey=%s\n' "${@:2:4}" >"$work/plain.ini"
    [ $# -le 5 ] || printf '%s\n' "${@:6}" >>"$work/plain.ini"
    "$linux_build/tools/quillon-settings" encrypt "$work/plain.ini" "$1"
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
