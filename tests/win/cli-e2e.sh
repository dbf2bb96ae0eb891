#!/bin/bash
# quillon-cli.exe under Wine against OpenSSH sshd on loopback (as root; otherwise against the asyncssh
# test server), side by side with the Linux quillon-cli: install (Cyrillic and spaced names, a driver
# installer), check after a file changed on the server, update, check again. Each step must give the same output and exit code on both, paths aside; 20
# more installs with the driver installer and 20 settings-tool runs must each end on Windows.
# Usage: cli-e2e.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR. Exit 77 = skipped.
set -u
linux_build=$(realpath "$1")
windows_build=$(realpath "$2")
servers=$(cd "$(dirname "$0")/../servers" && pwd)
work=$(mktemp -d /tmp/quillon-cli-e2e.XXXXXX)
. "$(dirname "$0")/e2e.sh"
stub=$windows_build/tests/win/installer_stub.exe
for program in "$linux_build/tools/quillon-cli" "$linux_build/tools/quillon-settings" \
    "$windows_build/tools/quillon-cli.exe" "$windows_build/tools/quillon-settings.exe" "$stub"; do
    [ -f "$program" ] || { echo "FAILED: $program was not built"; exit 1; }
done

# The package tree of one platform; only the installer differs, padded to one size on both.
folder="upload/Softwares/For Download"
make_tree() {
    local root="$1/$folder"
    mkdir -p "$root/Brightfen Console/data files" "$root/Brightfen Console/Справка" "$root/CP210x"
    printf 'console v1\n' > "$root/Brightfen Console/console.exe"
    printf 'настройки\n' > "$root/Brightfen Console/Справка/Руководство оператора.txt"
    printf '{"v": 1}\n' > "$root/Brightfen Console/data files/config v2.json"
    cp "$2" "$root/CP210x/setup.exe"
    truncate -s $(($(stat -c %s "$stub") + 4096)) "$root/CP210x/setup.exe"
    chmod 755 "$root/CP210x/setup.exe"
}

# One platform's whole run: $1 the platform, $2 its driver installer, $3 its number of repeated runs,
# then its client; settings_tool holds its settings tool. Each step's output (paths made alike, lines
# sorted, since the order of the lists follows hash order) and exit code go to $work/<platform>.steps.
run_platform() {
    local platform=$1 installer=$2 repeats=$3 base="$work/$1" user="qe2e$RANDOM" password="Pw-$RANDOM-$RANDOM"
    shift 3
    local cli=("$@") settings="$base/settings.ini"
    mkdir -p "$base/target"
    make_tree "$base/tree" "$installer"
    if [ "$(id -u)" -eq 0 ]; then
        start_server bash "$servers/openssh_server.sh" "$base/tree" "$user" "$password" || return
    else
        start_server /usr/bin/python3 "$servers/asyncssh_server.py" --root "$base/tree" --user "$user" \
            --password "$password" || return
    fi
    write_settings "$settings" "$port" "$user" "$password" "$fingerprint" '[MSVC]' 'Inst=true' ||
        fail "$platform: could not write the settings"
    step() {
        local name=$1 code=0
        shift
        (cd "$base" && timeout 300 "${cli[@]}" --settings "$settings" "$@") >"$base/$name.out" 2>&1 || code=$?
        {
            echo "== $name: exit code $code"
            tr -d '\r' <"$base/$name.out" | sed -e 's#Z:##g' -e 's#\\#/#g' -e "s#$base#BASE#g" | sort
        } >>"$work/$platform.steps"
        echo "$platform $name: exit code $code"
    }
    step install install --folder "LoRa=$base/target/lora" --folder "Drivers=$base/target/drivers" \
        "Brightfen Console" "CP210x"
    local installed="$base/target/lora/Brightfen Console"
    expect "$platform: the Cyrillic file" "$(cat "$installed/Справка/Руководство оператора.txt" 2>&1)" "настройки"
    expect "$platform: the spaced file" "$(cat "$installed/data files/config v2.json" 2>&1)" '{"v": 1}'
    [ -f "$base/installer-ran" ] || fail "$platform: the driver installer did not run"
    [ ! -e "$base/target/drivers" ] || fail "$platform: the drivers folder was left behind"

    # Every run must end: the Windows tools once sat in the C runtime's exit after their last line,
    # most often after a driver installer had run.
    local run code
    for run in $(seq 1 "$repeats"); do
        rm -f "$base/installer-ran"
        code=0
        (cd "$base" && timeout 60 "${cli[@]}" --settings "$settings" install \
            --folder "Drivers=$base/target/drivers" CP210x) >"$base/repeat.out" 2>&1 || code=$?
        [ "$code" -eq 0 ] && [ -f "$base/installer-ran" ] ||
            { fail "$platform: install run $run of $repeats: exit code $code (124: it never ended)"; break; }
        code=0
        timeout 60 "${settings_tool[@]}" get "$settings" SFTP/IP >"$base/repeat.out" 2>&1 || code=$?
        [ "$code" -eq 0 ] || { fail "$platform: settings tool run $run of $repeats: exit code $code"; break; }
    done

    printf 'console v2, longer\n' > "$base/tree/$folder/Brightfen Console/console.exe"
    printf 'новые настройки\n' > "$base/tree/$folder/Brightfen Console/Справка/Руководство оператора.txt"
    step check-changed check
    step update update
    expect "$platform: the updated file" "$(cat "$installed/console.exe" 2>&1)" "console v2, longer"
    expect "$platform: the updated Cyrillic file" "$(cat "$installed/Справка/Руководство оператора.txt" 2>&1)" \
        "новые настройки"
    step check-current check
    stop_server
}

printf '#!/bin/sh\necho "$0" > installer-ran\nexit 0\n' >"$work/installer.sh"
settings_tool=("$linux_build/tools/quillon-settings")
run_platform linux "$work/installer.sh" 2 "$linux_build/tools/quillon-cli"
settings_tool=(wine "$windows_build/tools/quillon-settings.exe")
run_platform windows "$stub" 20 wine "$windows_build/tools/quillon-cli.exe"

# The Windows program must announce the libssh its zip's sources list names (Debian 13's).
listed=$(sed -n 's/.*libssh=\([^- ]*\).*/\1/p' "$windows_build/package/Quillon/licences/SOURCES.txt" | head -n 1)
/usr/bin/python3 -c '
import socket
server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
client, _ = server.accept()
client.settimeout(30)
client.sendall(b"SSH-2.0-OpenSSH_9.2\r\n")
print(client.recv(255).split(b"\r\n")[0].decode(errors="replace"), flush=True)' >"$work/heard" &
pids+=($!)
wait_for 30 test -s "$work/heard"
write_settings "$work/banner.ini" "$(head -n 1 "$work/heard")" nobody none "" >/dev/null
(cd "$work" && timeout 120 wine "$windows_build/tools/quillon-cli.exe" --settings banner.ini check) >/dev/null 2>&1
banner=$(sed -n 2p "$work/heard")
expect "the Windows program's SSH banner" "$banner" "SSH-2.0-libssh_${listed:-unlisted}"

diff -u "$work/linux.steps" "$work/windows.steps" ||
    fail "the Windows program's output or exit codes differ from the Linux program's (diff above)"
echo "== the Linux run, as both gave it:"
cat "$work/linux.steps"
[ "$failures" -eq 0 ] && { echo "cli end to end: Windows and Linux alike"; exit 0; }
for platform in linux windows; do
    echo "== LogFile.log of the $platform run:"
    cat "$work/$platform/LogFile.log" 2>/dev/null
done
exit 1
