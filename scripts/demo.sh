#!/bin/bash
# The demo: builds Quillon, serves the sample packages of demo/server over SFTP on loopback,
# prepares a program folder whose settings point at that server, and starts Quillon in the tray.
# Everything it makes lies in demo-run/ and is made anew by every run.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
run=$top/demo-run

server_packages="python3-asyncssh"
[ "$(id -u)" -eq 0 ] && server_packages="$server_packages openssh-server"
[ -n "${DISPLAY:-}" ] || server_packages="$server_packages xvfb trayer"
scripts/install-packages.sh $(cat scripts/build-packages.txt) $server_packages

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target Quillon quillon-settings

rm -rf "$run"
mkdir -p "$run/program" "$run/installed/LoRa"
cp -a demo/server "$run/server"
cp build/Quillon "$run/program/"
# An older Brightfen Meter is already installed, so the first check finds an update.
cp -a "demo/installed/Brightfen Meter" "$run/installed/LoRa/"

user=quillon-demo
password=demo-$RANDOM$RANDOM
if [ "$(id -u)" -eq 0 ]; then
    coproc SERVER { exec tests/servers/openssh_server.sh "$run/server" "$user" "$password" 2>"$run/server.log"; }
    server_kind="OpenSSH sshd"
else
    coproc SERVER { exec /usr/bin/python3 tests/servers/asyncssh_server.py --root "$run/server" \
        --user "$user" --password "$password" 2>"$run/server.log"; }
    server_kind="asyncssh"
fi
server_in=${SERVER[1]}
stop_server() { exec {server_in}>&- 2>/dev/null || true; wait 2>/dev/null || true; }
trap stop_server EXIT

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
rm "$run/settings.txt"

if [ -z "${DISPLAY:-}" ]; then
    export DISPLAY=:47
    Xvfb "$DISPLAY" -screen 0 1280x800x24 >/dev/null 2>&1 &
    sleep 1
    trayer --edge top --align right --widthtype request >/dev/null 2>&1 &
    echo "No display was set: Quillon runs on the virtual display $DISPLAY (screenshot: import -display $DISPLAY -window root shot.png)."
fi

cat <<TXT
Quillon demo
  server:   $server_kind on 127.0.0.1:$port, serving demo/server
  program:  $run/program (settings.ini, LogFile.log)
Try: the welcome window's "Run install" (or the tray menu's "Install Software") to install
components (the wizard proposes /Brightfen/... and the program folder's Drivers; type another
folder if you like), "Check updates" to find the newer Brightfen Meter, then update it from the list.
Quit with the tray menu's "Exit".
TXT
cd "$run/program"
./Quillon
