#!/bin/bash
# The demo: builds Quillon and a newer build of it, serves the sample packages of demo/server
# (with the newer program in its "Quillon" folder) over SFTP on loopback, prepares a program
# folder whose settings point at that server, and starts Quillon in the tray. The served tree is signed
# with a throwaway publisher key made here (never kept), which the program's settings trust. When Quillon exits
# (after a self-update: the program it restarted), or on Ctrl-C, it stops everything it started.
# Everything it makes lies in demo-run/ and is made anew by every run.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
run=$top/demo-run
newer_version=1.1.
newer_version_ru=1.1.7.

scripts/install-packages.sh $(cat scripts/build-packages.txt scripts/demo-packages.txt)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target Quillon quillon-settings quillon-publish
# The newer program: the same sources, other version texts in the About window.
launcher=$(sed -n 's/^CMAKE_CXX_COMPILER_LAUNCHER:[A-Z]*=//p' build/CMakeCache.txt)
cmake -S . -B build-demo-newer -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" \
    -DQUILLON_VERSION_TEXT_EN="$newer_version" -DQUILLON_VERSION_TEXT_RU="$newer_version_ru" >/dev/null
cmake --build build-demo-newer -j2 --target Quillon

rm -rf "$run"
mkdir -p "$run/program" "$run/installed/LoRa"
cp -a demo/server "$run/server"
newer="$run/server/upload/Softwares/For Download/Quillon"
mkdir -p "$newer"
cp build-demo-newer/Quillon "$newer/"
cp build/Quillon "$run/program/"
# An older Brightfen Meter is already installed, so the first check finds an update.
cp -a "demo/installed/Brightfen Meter" "$run/installed/LoRa/"
# The maker's publishing, with a key made for this run only: the manifest of the tree, then its signature.
ssh-keygen -q -t ed25519 -N '' -C "demo publisher" -f "$run/publisher"
build/tools/quillon-publish "$run/server/upload/Softwares/For Download" >/dev/null
ssh-keygen -q -Y sign -f "$run/publisher" -n quillon-manifest "$run/server/upload/Softwares/For Download/quillon-manifest"
rm "$run/publisher" # only the public half is needed from here on

# What the demo started, stopped by stop_all whichever way the demo ends.
server_pid=
display_pid=
tray_pid=
quillon_pids() {
    # Quillon's processes: the one started here, or after a self-update the one it restarted.
    local exe
    for exe in /proc/[0-9]*/exe; do
        case "$(readlink "$exe" 2>/dev/null)" in
        "$run/program/Quillon" | "$run/program/Quillon (deleted)" | "$run/program/Old" | "$run/program/Old (deleted)")
            exe=${exe#/proc/}
            echo "${exe%/exe}"
            ;;
        esac
    done
}
stop_all() {
    trap - EXIT INT TERM
    local stopped='' pids pid
    pids=$(quillon_pids)
    if [ -n "$pids" ]; then
        kill $pids 2>/dev/null || true
        for _ in $(seq 1 50); do [ -z "$(quillon_pids)" ] && break; sleep 0.1; done
        stopped="Quillon, "
    fi
    if [ -n "$server_pid" ]; then
        exec {server_in}>&- 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        stopped+="the $server_kind server$server_user_note, "
    fi
    for pid in $tray_pid $display_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    [ -n "$tray_pid" ] && stopped+="the tray host trayer, "
    [ -n "$display_pid" ] && stopped+="the virtual display Xvfb $DISPLAY, "
    [ -z "$stopped" ] || echo "Demo over: stopped ${stopped%, }."
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

user=quillon-demo
password=demo-$RANDOM$RANDOM
if [ "$(id -u)" -eq 0 ]; then
    coproc SERVER { exec tests/servers/openssh_server.sh "$run/server" "$user" "$password" 2>"$run/server.log"; }
    server_kind="OpenSSH sshd"
    server_user_note=" and removed its user $user"
else
    coproc SERVER { exec /usr/bin/python3 tests/servers/asyncssh_server.py --root "$run/server" \
        --user "$user" --password "$password" 2>"$run/server.log"; }
    server_kind="asyncssh"
    server_user_note=
fi
server_pid=$SERVER_PID
server_in=${SERVER[1]}

port=
while read -r word value <&"${SERVER[0]}"; do
    [ "$word" = PORT ] && port=$value && break
done
[ -n "$port" ] || { echo "The demo SFTP server did not start; see $run/server.log" >&2; exit 1; }

# The program writes its built-in defaults only when no settings file exists: give it one
# that points at the demo server instead.
cat >"$run/settings.txt" <<INI
[SFTP]
IP=127.0.0.1
port=$port
Login=$user
Pswd=$password
[Timer]
Timeout=7
[Path]
Brightfen Meter=$run/installed/LoRa/Brightfen Meter
INI
build/tools/quillon-settings encrypt "$run/settings.txt" "$run/program/settings.ini"
build/tools/quillon-settings set "$run/program/settings.ini" SFTP/PublisherKey "$(cat "$run/publisher.pub")"
rm "$run/settings.txt"

if [ -z "${DISPLAY:-}" ]; then
    number=47
    while [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
    export DISPLAY=:$number
    Xvfb "$DISPLAY" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    display_pid=$!
    for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$number" ] && break; sleep 0.1; done
    trayer --edge top --align right --widthtype request >/dev/null 2>&1 &
    tray_pid=$!
    sleep 2 # for the tray host to take the tray, so Quillon finds it at start
    echo "No display was set: Quillon runs on the virtual display $DISPLAY (screenshot: import -display $DISPLAY -window root shot.png)."
fi

cat <<TXT
Quillon demo
  server:   $server_kind on 127.0.0.1:$port, serving demo/server and a newer Quillon in its "Quillon" folder
  program:  $run/program (settings.ini, LogFile.log)
Try: the welcome window's "Run install" (or the tray menu's "Install Software") to install
components (the wizard proposes /Brightfen/... and the program folder's Drivers; type another
folder if you like); "About" shows "Software version 1.0."; "Check updates" finds the newer
Brightfen Meter and the newer Quillon; update them from the list, close the list, and Quillon
restarts as the newer program, whose "About" shows "Software version $newer_version".
The tree is signed: change a served file before "Update" (for instance
  echo tampered >> "$run/server/upload/Softwares/For Download/Brightfen Meter/Meter.exe")
and that file is refused and left as installed (LogFile.log names it); change quillon-manifest itself
and every check and run is refused.
Quit with the tray menu's "Exit" (or Ctrl-C here): the demo then stops everything it started.
TXT
cd "$run/program"
./Quillon || true
# A self-update ends the program that was started here and starts the new one in its place.
while [ -n "$(quillon_pids)" ]; do sleep 1; done
