#!/bin/bash
# OpenSSH sshd on 127.0.0.1 serving TREE as "/" to a throwaway local user, chrooted below /run (sshd refuses
# one below the world-writable /tmp). Needs root. Prints "PORT <n>" and "FINGERPRINT SHA256:..." once the
# port answers; serves until standard input closes, STOP_FILE is removed or a signal comes, then cleans up.
set -u
if [ $# -ne 3 ] && [ $# -ne 4 ]; then echo "usage: $0 TREE USER PASSWORD [STOP_FILE]" >&2; exit 64; fi
if [ "$(id -u)" -ne 0 ]; then echo "openssh_server.sh: needs root (local user, chroot)" >&2; exit 77; fi
# A Windows test under Wine names the tree on drive Z:, which Wine maps to "/".
unix_path() { case "$1" in [Zz]:[/\\]*) printf '%s' "${1#??}" | tr '\\' / ;; *) printf '%s' "$1" ;; esac; }
TREE=$(realpath "$(unix_path "$1")")
STOP_FILE=$(unix_path "${4:-}")
USER_NAME=$2
SSHD=$(command -v sshd || echo /usr/sbin/sshd)
RUNDIR=$(mktemp -d /run/quillon-sshd.XXXXXX) || exit 1
CHROOT=$RUNDIR/root
SSHD_PID='' MOUNTED=0 USER_MADE=0

cleanup() {
    trap - EXIT TERM INT HUP
    if [ -n "$SSHD_PID" ]; then kill "$SSHD_PID" 2>/dev/null; wait "$SSHD_PID" 2>/dev/null; fi
    if [ "$MOUNTED" = 1 ]; then umount "$CHROOT" 2>/dev/null || umount -l "$CHROOT"; fi
    if [ "$USER_MADE" = 1 ]; then userdel "$USER_NAME" 2>/dev/null; fi
    # Remove only what this script made: never recurse into a folder that may still be the tree.
    rm -f "$RUNDIR"/sshd_config "$RUNDIR"/host_key "$RUNDIR"/host_key.pub "$RUNDIR"/sshd.log
    if [ "$MOUNTED" = 2 ]; then rm -rf "$CHROOT"; else rmdir "$CHROOT" 2>/dev/null; fi
    rmdir "$RUNDIR" 2>/dev/null
    exit "${1:-0}"
}
trap 'cleanup 0' TERM INT HUP
trap 'cleanup $?' EXIT

# The chroot must be owned by root and writable by nobody else; the client user must be able to walk it.
chmod 755 "$RUNDIR" "$TREE"
mkdir -m 755 "$CHROOT"
if mount --bind "$TREE" "$CHROOT" 2>/dev/null; then
    MOUNTED=1
else
    cp -a "$TREE/." "$CHROOT/" && MOUNTED=2
fi
chown root:root "$CHROOT"
chmod 755 "$CHROOT"

userdel "$USER_NAME" 2>/dev/null
useradd --no-create-home --home-dir / --shell /usr/sbin/nologin "$USER_NAME" || exit 1
USER_MADE=1
echo "$USER_NAME:$3" | chpasswd || exit 1
mkdir -p /run/sshd && chmod 755 /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$RUNDIR/host_key" || exit 1
FINGERPRINT=$(ssh-keygen -l -E sha256 -f "$RUNDIR/host_key.pub" | awk '{print $2}')

write_config() {
    # OpenSSH 9.8 and later penalise failed logins per source address; tests log in wrongly on purpose.
    cat > "$RUNDIR/sshd_config" <<CONFIG
ListenAddress 127.0.0.1
Port $1
HostKey $RUNDIR/host_key
PidFile none
UsePAM no
PubkeyAuthentication no
KbdInteractiveAuthentication no
AllowUsers $USER_NAME
MaxStartups 100
MaxAuthTries 100
LogLevel ERROR
Subsystem sftp internal-sftp
ForceCommand internal-sftp
ChrootDirectory $CHROOT
AllowTcpForwarding no
PerSourcePenalties no
CONFIG
    "$SSHD" -t -f "$RUNDIR/sshd_config" 2>/dev/null || sed -i '/^PerSourcePenalties/d' "$RUNDIR/sshd_config"
}

port_answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

for _ in 1 2 3 4 5; do
    PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    write_config "$PORT"
    "$SSHD" -D -e -f "$RUNDIR/sshd_config" 2>>"$RUNDIR/sshd.log" &
    SSHD_PID=$!
    for _ in $(seq 1 100); do
        if port_answers "$PORT" || ! kill -0 "$SSHD_PID" 2>/dev/null; then break; fi
        sleep 0.05
    done
    if kill -0 "$SSHD_PID" 2>/dev/null && port_answers "$PORT"; then break; fi
    kill "$SSHD_PID" 2>/dev/null; wait "$SSHD_PID" 2>/dev/null; SSHD_PID=
done
if [ -z "$SSHD_PID" ]; then
    echo "openssh_server.sh: sshd did not start:" >&2; cat "$RUNDIR/sshd.log" >&2; exit 1
fi

echo "PORT $PORT"
echo "FINGERPRINT $FINGERPRINT"
if [ -n "$STOP_FILE" ]; then
    while [ -e "$STOP_FILE" ]; do sleep 0.2; done
else
    # A background job reads /dev/null unless given our standard input explicitly.
    exec 3<&0
    cat <&3 >/dev/null &
    wait $!
fi
cleanup 0
