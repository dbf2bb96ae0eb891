#!/bin/bash
# Quillon-setup.exe under Wine, as IT rolls it out: a silent install with the company's settings,
# reinstalls that keep the user's files, the installed Quillon.exe started from its shortcut and
# updating itself from the tray menu on a virtual display, then the silent uninstall of the uninstall
# entry, which stops it and leaves nothing of the program behind.
# Usage: setup-e2e.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR   (copies WINEPREFIX when set). Exit 77 = skipped.
set -u
linux_build=$(realpath "$1")
build=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/quillon-setup-e2e.XXXXXX)
. "$here/e2e.sh"
for file in "$build/Quillon-setup.exe" "$build/package/Quillon/Quillon.exe" "$linux_build/tools/quillon-settings"; do
    [ -f "$file" ] || { echo "FAILED: $file was not built (scripts/build-windows.sh makes the setup)"; exit 1; }
done
own_prefix
shots=$build/screenshots
mkdir -p "$shots"
# The display comes first: Wine's desktop process, which holds the tray, starts with the first program.
start_tray_display || exit 1

windows_folder() { wine cmd /c echo "%$1%" | tr -d '\r'; }
folder_win="$(windows_folder LOCALAPPDATA)\\Programs\\Quillon"
folder=$(winepath -u "$folder_win")
shortcut=$(winepath -u "$(windows_folder APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs\\Quillon.lnk")
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
reg_value() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
# The ids of the processes that run the installed Quillon.exe in this prefix.
running() {
    for process in /proc/[0-9]*; do
        { tr '\0/' '\n\\' <"$process/cmdline"; } 2>/dev/null | head -n 1 | grep -qixF "$folder_win\\Quillon.exe" &&
            { tr '\0' '\n' <"$process/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            echo "${process#/proc/}"
    done
}
runs() { [ -n "$(running)" ]; }
# Runs a command line through cmd, which hands the switches over as typed, quotes included.
run_cmd() {
    printf '%s\r\n' "$1" >"$work/run.bat"
    setup_code=0
    (cd "$work" && timeout 300 wine cmd /c run.bat) >"$work/run.log" 2>&1 || setup_code=$?
}
expect_code() { [ "$setup_code" = "$2" ] || fail "$1: exit code $setup_code, not $2: $(cat "$work/run.log")"; }

# The company's server, serving a newer Quillon.exe (the built one and a few more bytes).
served="$work/tree/upload/Softwares/For Download/Quillon/Quillon.exe"
mkdir -p "$(dirname "$served")" "$work/it share"
{ cat "$build/package/Quillon/Quillon.exe"; printf 'a newer build'; } >"$served"
password="Pw-$RANDOM-$RANDOM"
start_server /usr/bin/python3 "$here/../servers/asyncssh_server.py" --root "$work/tree" --user it \
    --password "$password" || exit 1
# IT's settings, made with quillon-settings: an old file naming no server, then the company's one.
write_settings "$work/it share/old.ini" 1 it none none '[Start]' 'FirstStart=1' &&
    write_settings "$work/it share/company settings.ini" "$port" it "$password" "$fingerprint" '[Start]' \
        'FirstStart=1' || { fail "quillon-settings could not write IT's settings"; exit 1; }

# 1. A silent install with settings, the file named relative to where the setup starts.
run_cmd "\"$(winepath -w "$build/Quillon-setup.exe")\" /S /SETTINGS=\"it share\\old.ini\""
expect_code "the silent install" 0
(cd "$build/package/Quillon" && find . -type f) | while read -r file; do
    cmp -s "$build/package/Quillon/$file" "$folder/$file" || echo "$file"
done >"$work/missing"
[ ! -s "$work/missing" ] || fail "not installed as in the zip: $(cat "$work/missing")"
cmp -s "$work/it share/old.ini" "$folder/settings.ini" || fail "the silent install did not install the settings"
tr -d '\0' <"$shortcut" 2>/dev/null | grep -qiF "$folder_win\\Quillon.exe" || fail "no Start-menu shortcut to Quillon.exe"
for name in DisplayName DisplayVersion Publisher UninstallString QuietUninstallString DisplayIcon EstimatedSize; do
    [ -n "$(reg_value "$key" "$name")" ] || fail "the uninstall entry has no $name"
done
wait_for 5 runs && fail "the silent install started Quillon"

# 2. Reinstalls: the user's files stay; IT's switch replaces the settings, or fails with code 2 when
# its file does not exist. Each row: setup switches (with PowerShell's quoting of a whole argument),
# exit code, the file settings.ini must then equal.
printf 'user log\n' >"$folder/LogFile.log"
printf '{"cache": 1}\n' >"$folder/UpdateCheckCache.json"
cp "$folder/LogFile.log" "$folder/UpdateCheckCache.json" "$work/"
while IFS='|' read -r switches code settings; do
    : >"$folder/Quillon.exe"
    run_cmd "\"$(winepath -w "$build/Quillon-setup.exe")\" /S $switches"
    expect_code "setup $switches" "$code"
    cmp -s "$work/it share/$settings" "$folder/settings.ini" || fail "setup $switches: settings.ini is not $settings"
    [ "$code" != 0 ] || cmp -s "$build/package/Quillon/Quillon.exe" "$folder/Quillon.exe" || fail "setup $switches: Quillon.exe not reinstalled"
    cmp -s "$work/LogFile.log" "$folder/LogFile.log" && cmp -s "$work/UpdateCheckCache.json" \
        "$folder/UpdateCheckCache.json" || fail "setup $switches changed the user's files"
done <<TABLE
|0|old.ini
"/SETTINGS=$(winepath -w "$work/it share/company settings.ini")"|0|company settings.ini
/SETTINGS=missing.ini|2|company settings.ini
TABLE
cp "$build/package/Quillon/Quillon.exe" "$folder/Quillon.exe"

# 3. Quillon.exe started from its shortcut finds the newer program on the company's server and
# replaces itself in its folder: "Check updates" in the tray menu, "Update All", "Update", OK.
wine start /unix "$shortcut" >"$work/quillon.log" 2>&1
started() { first=$(running); [ -n "$first" ]; }
wait_for 120 started || fail "Quillon.exe did not start from its shortcut"
windows_before=$(program_windows)
if find_tray_icon && open_tray_menu; then
    eval "$(xdotool getwindowgeometry --shell "$tray_menu")"
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT * 3 / 10)) click 1 # the second of five entries
    update_window=""
    listed() {
        for window in $(comm -13 <(echo "$windows_before") <(program_windows)); do
            [ "$(xwininfo -id "$window" | sed -n 's/^ *Width: //p; s/^ *Height: //p' | paste -sd x)" = 615x467 ] &&
                update_window=$window && return 0
        done
        return 1
    }
    if wait_for 120 listed; then
        xdotool mousemove --window "$update_window" 215 442 click 1 mousemove --window "$update_window" 550 442 click 1
        sleep 1
        import -window root "$shots/installed-update.png"
        done_box() { box=$(xdotool search --onlyvisible --name 'successfully installed' | head -n 1); [ -n "$box" ]; }
        wait_for 120 done_box && xdotool windowfocus --sync "$box" key Return ||
            fail "the update did not end with its success box"
    else
        fail "\"Check updates\" listed no update: $(cat "$folder/LogFile.log" 2>/dev/null)"
    fi
fi
restarted() { runs && [ "$(running)" != "$first" ] && [ ! -e "$folder/Old.exe" ]; }
wait_for 120 restarted || fail "Quillon did not restart into the new file (running: $(running); $(ls "$folder"))"
cmp -s "$served" "$folder/Quillon.exe" || fail "the installed Quillon.exe is not the server's newer one"
wait_for 30 test ! -e "$folder/delete.bat" || fail "the restarted Quillon left delete.bat"

# 4. The silent uninstall, as IT's tools run the uninstall entry, with Quillon running and starting
# with Windows. Software installed inside the program folder stays.
wine reg add "$run_key" /v Quillon /d "$folder_win\\Quillon.exe" /f >/dev/null 2>&1
mkdir -p "$folder/LoRa/Meter" && printf 'installed software\n' >"$folder/LoRa/Meter/meter.txt"
run_cmd "$(reg_value "$key" QuietUninstallString)"
expect_code "the silent uninstall" 0
runs && fail "the uninstall left Quillon running"
wait_for 30 test "$(cd "$folder" && find . | sort | paste -sd ' ')" = ". ./LoRa ./LoRa/Meter ./LoRa/Meter/meter.txt" ||
    fail "the uninstall left in the program folder: $(cd "$folder" && find . -path ./LoRa -prune -o -print)"
[ ! -e "$shortcut" ] || fail "the uninstall left the Start-menu shortcut"
wine reg query "$key" >/dev/null 2>&1 && fail "the uninstall left the uninstall entry"
[ -z "$(reg_value "$run_key" Quillon)" ] || fail "the uninstall left Quillon starting with Windows"

[ "$failures" -eq 0 ] || { echo "== Quillon's log:"; cat "$folder/LogFile.log" "$work/quillon.log" 2>/dev/null; exit 1; }
echo "setup: silent install with IT's settings, reinstalls keeping the user's files, self-update, silent uninstall"
