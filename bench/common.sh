# Pieces the benchmarks share; sourced, not run.

# make_work NAME: a scratch folder in WORK, removed on exit together with the test server and any
# delay proxies whose process ids the benchmark put in PROXY_PIDS.
make_work() {
    WORK=$(mktemp -d "/tmp/quillon-$1.XXXXXX")
    PROXY_PIDS=()
    trap 'for pid in "${PROXY_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done; stop_sshd; rm -rf "$WORK"' EXIT
}

# require HINT BUILT_TOOL... -- COMMAND...: installs the benchmarks' Debian packages that are missing
# (scripts/bench-packages.txt), then stops with a message unless every built tool is there (HINT says how
# to build it), every command is installed, and this runs as root (the OpenSSH test server makes a local
# user).
require() {
    local hint=$1
    shift
    while [ "$1" != -- ]; do
        [ -x "$1" ] || { echo "missing $1: $hint" >&2; exit 1; }
        shift
    done
    shift
    [ "$(id -u)" -ne 0 ] || scripts/install-packages.sh $(cat scripts/bench-packages.txt)
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
    done
    [ "$(id -u)" -eq 0 ] || { echo "needs root (the OpenSSH test server makes a local user)" >&2; exit 1; }
}

# make_small_files ROOT COUNT KB [nested]: COUNT random files of KB KiB under ROOT, spread over
# 20 x 10 nested folders when "nested" is given.
make_small_files() {
    /usr/bin/python3 - "$1" "$2" "$3" "${4:-flat}" <<'PY'
import os, sys
root, count, size, nested = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) * 1024, sys.argv[4] == "nested"
for i in range(count):
    folder = os.path.join(root, "lib%02d" % (i % 20), "part%02d" % (i // 20 % 10)) if nested else root
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "file%04d.dat" % i), "wb") as f:
        f.write(os.urandom(size))
PY
}

# start_sshd TREE USER_PREFIX: OpenSSH sshd on loopback serving TREE through the test harness.
# Sets USER_NAME, PASSWORD, PORT, FINGERPRINT and SERVER_PID; stop_sshd ends it.
start_sshd() {
    USER_NAME=$2$$
    PASSWORD=Bench-$RANDOM$RANDOM
    mkfifo "$WORK/server-in"
    tests/servers/openssh_server.sh "$1" "$USER_NAME" "$PASSWORD" < "$WORK/server-in" \
        > "$WORK/server-out" 2>"$WORK/server-err" &
    SERVER_PID=$!
    exec 4>"$WORK/server-in"
    for _ in $(seq 1 200); do grep -q FINGERPRINT "$WORK/server-out" && break; sleep 0.1; done
    PORT=$(awk '/^PORT/{print $2}' "$WORK/server-out")
    FINGERPRINT=$(awk '/^FINGERPRINT/{print $2}' "$WORK/server-out")
    [ -n "$FINGERPRINT" ] || { echo "sshd did not start:"; cat "$WORK/server-err"; exit 1; } >&2
}

stop_sshd() {
    if [ -n "${SERVER_PID:-}" ]; then exec 4>&-; wait "$SERVER_PID" 2>/dev/null || true; fi
}
