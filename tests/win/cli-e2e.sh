#!/bin/bash
# quillon-cli.exe under Wine against OpenSSH sshd on loopback, side by side with the Linux quillon-cli:
# install (Cyrillic and spaced names, a driver installer), check after a file changed on the server,
# update, check again. Each step must give the same output and exit code on both, paths aside; 20
# more installs with the driver installer and 20 settings-tool runs must each end on Windows.
# Usage: cli-e2e.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR   (as root). Exit 77 = skipped.
set -u
linux_build=$(realpath "$1")
windows_build=$(realpath "$2")
servers=$(cd "$(dirname "$0")/../servers" && pwd)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ "$(id -u)" -eq 0 ] || { echo "Skipped: OpenSSH sshd tests need root"; exit 77; }
for program in "$linux_build/tools/quillon-cli" "$linux_build/tools/quillon-settings" \
    "$windows_build/tools/quillon-cli.exe" "$windows_build/tools/quillon-settings.exe" \
    "$windows_build/tests/win/installer_stub.exe"; do
    [ -f "$program" ] || { echo "FAILED: $program was not built"; exit 1; }
done

work=$(mktemp -d /tmp/quillon-cli-e2e.XXXXXX)
failures=0
server_pid=
stop_server() {
    [ -n "$server_pid" ] || return
    kill -TERM "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
}
trap 'stop_server; rm -rf "$work"' EXIT

fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
expect() { [ "$2" = "$3" ] || fail "$1: expected \"$3\", got \"$2\""; }

# The package tree of one platform; only the installer differs, padded to one size on both.
folder="upload/Softwares/For Download"
make_tree() {
    local root="$1/$folder"
    mkdir -p "$root/Brightfen Console/data files" "$root/Brightfen Console/Справка" "$root/CP210x"
    printf 'console v1\n' > "$root/Brightfen Console/console.exe"
    printf 'настройки\n' > "$root/Brightfen Console/Справка/Руководство оператора.txt"
    printf '{"v": 1}\n' > "$root/Brightfen Console/data files/config v2.json"
    cp "$2" "$root/CP210x/setup.exe"
    truncate -s "$installer_size" "$root/CP210x/setup.exe"
    chmod 755 "$root/CP210x/setup.exe"
}

# One platform's whole run: each step's output (paths made alike, lines sorted, since the order of
# the lists follows hash order) and exit code go to $work/<platform>.steps.
run_platform() {
    local platform=$1 base="$work/$1" user="qe2e$RANDOM" password="Pw-$RANDOM-$RANDOM"
    shift
    local cli=("$@")
    mkdir -p "$base/target"
    make_tree "$base/tree" "$installer_of_platform"
    coproc SERVER { exec bash "$servers/openssh_server.sh" "$base/tree" "$user" "$password" 2>"$base/sshd.err"; }
    server_pid=$SERVER_PID
    local port="" fingerprint="" line
    while [ -z "$fingerprint" ] && read -r -t 60 line <&"${SERVER[0]}"; do
        case "$line" in
        PORT\ *) port=${line#PORT } ;;
        FINGERPRINT\ *) fingerprint=${line#FINGERPRINT } ;;
        esac
    done
    if [ -z "$fingerprint" ]; then
        fail "$platform: sshd did not start: $(cat "$base/sshd.err")"
        stop_server
        return
    fi
    local settings="$base/settings.ini"
    printf '[SFTP]\nIP=127.0.0.1\nport=%s\nLogin=%s\nPswd=%s\nHostKey=%s\n[MSVC]\nInst=true\n' \
        "$port" "$user" "$password" "$fingerprint" >"$base/plain.ini"
    "$linux_build/tools/quillon-settings" encrypt "$base/plain.ini" "$settings" ||
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

installer_of_platform="$work/installer.sh"
printf '#!/bin/sh\necho "$0" > installer-ran\nexit 0\n' > "$installer_of_platform"
installer_size=$(($(stat -c %s "$windows_build/tests/win/installer_stub.exe") + 4096))
repeats=2
settings_tool=("$linux_build/tools/quillon-settings")
run_platform linux "$linux_build/tools/quillon-cli"
installer_of_platform="$windows_build/tests/win/installer_stub.exe"
repeats=20
settings_tool=("$(command -v wine)" "$windows_build/tools/quillon-settings.exe")
run_platform windows "$(command -v wine)" "$windows_build/tools/quillon-cli.exe"

# The Windows program must announce the libssh its zip's sources list names (Debian 13's).
listed=$(sed -n 's/.*libssh=\([^- ]*\).*/\1/p' "$windows_build/package/Quillon/licences/SOURCES.txt" | head -n 1)
mkdir -p "$work/banner"
/usr/bin/python3 -c '
import socket
server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
client, _ = server.accept()
client.settimeout(30)
client.sendall(b"SSH-2.0-OpenSSH_9.2\r\n")
print(client.recv(255).split(b"\r\n")[0].decode(errors="replace"), flush=True)' >"$work/banner/heard" &
listener=$!
port=
for _ in $(seq 1 100); do
    port=$(head -n 1 "$work/banner/heard")
    [ -n "$port" ] && break
    sleep 0.1
done
printf '[SFTP]\nIP=127.0.0.1\nport=%s\nLogin=nobody\nPswd=none\n' "$port" >"$work/banner/plain.ini"
"$linux_build/tools/quillon-settings" encrypt "$work/banner/plain.ini" "$work/banner/settings.ini" >/dev/null
(cd "$work/banner" && timeout 120 wine "$windows_build/tools/quillon-cli.exe" --settings settings.ini check) \
    >/dev/null 2>&1
kill "$listener" 2>/dev/null
wait "$listener" 2>/dev/null
banner=$(sed -n 2p "$work/banner/heard")
expect "the Windows program's SSH banner" "$banner" "SSH-2.0-libssh_${listed:-unlisted}"

if ! diff -u "$work/linux.steps" "$work/windows.steps"; then
    fail "the Windows program's output or exit codes differ from the Linux program's (diff above)"
fi
echo "== the Linux run, as both gave it:"
cat "$work/linux.steps"
[ "$failures" -eq 0 ] && { echo "cli end to end: Windows and Linux alike"; exit 0; }
for platform in linux windows; do
    echo "== LogFile.log of the $platform run:"
    cat "$work/$platform/LogFile.log" 2>/dev/null
done
exit 1
