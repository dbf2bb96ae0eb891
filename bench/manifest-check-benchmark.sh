#!/bin/bash
# Update checks of an unchanged 2,000-file installed tree against OpenSSH sshd behind a delay proxy
# (150 ms round trip by default): bytes the server sends and time, with a signed manifest and without.
#
#   bench/manifest-check-benchmark.sh [BUILD_DIR]      (root; BUILD_DIR: a build with -DQUILLON_BENCH=ON)
#
# Rows, each a `quillon-cli check` with the cache a previous check left (nothing changed on either side):
# without a publisher key (the check lists every folder), and with one (it reads only the manifest and
# its signature); plus the first check with a manifest and no cache (every local file hashed, still
# nothing else read from the server). The chain is client -> byte-count relay -> delay proxy -> sshd,
# so the bytes are what left the server for the client, SSH framing and log-in included.
set -eu
cd "$(dirname "$0")/.."
source bench/common.sh
BUILD=$(realpath "${1:-build}")
RUNS=${RUNS:-3}
SMALL_FILES=${SMALL_FILES:-2000}
SMALL_KB=${SMALL_KB:-50}
RTT_MS=${RTT_MS:-150}
CLI=$BUILD/tools/quillon-cli
SETTINGS_TOOL=$BUILD/tools/quillon-settings
PUBLISH=$BUILD/tools/quillon-publish
PROXY=$BUILD/bench/quillon-delay-proxy
require "configure with -DQUILLON_BENCH=ON and build" "$CLI" "$SETTINGS_TOOL" "$PUBLISH" "$PROXY" -- ssh-keygen

make_work manifest-bench

ROOT="$WORK/tree/upload/Softwares/For Download"
COMPONENT="$ROOT/Brightfen Meter"
LOCAL="$WORK/install/Brightfen Meter"
echo "Generating the tree: ${SMALL_FILES} files of ${SMALL_KB} KiB in nested folders..."
mkdir -p "$COMPONENT"
make_small_files "$COMPONENT" "$SMALL_FILES" "$SMALL_KB" nested
mkdir -p "$WORK/install"
cp -a "$COMPONENT" "$LOCAL"
echo "Tree: $(($(du -sb "$COMPONENT" | cut -f1) / 1000000)) MB in $(find "$COMPONENT" -type f | wc -l) files," \
    "$(find "$COMPONENT" -type d | wc -l) folders"

# The maker's side: a throwaway key, the manifest and its signature.
ssh-keygen -q -t ed25519 -N '' -C bench-publisher -f "$WORK/publisher"
"$PUBLISH" "$ROOT" > /dev/null
ssh-keygen -q -Y sign -f "$WORK/publisher" -n quillon-manifest "$ROOT/quillon-manifest"
echo "Manifest: $(stat -c %s "$ROOT/quillon-manifest") bytes, signature $(stat -c %s "$ROOT/quillon-manifest.sig") bytes"

start_sshd "$WORK/tree" qmbench
PROXY_PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$PROXY" "$PROXY_PORT" "$PORT" $((RTT_MS / 2)) > "$WORK/proxy.out" 2>&1 &
PROXY_PIDS+=($!)
for _ in $(seq 1 50); do grep -q READY "$WORK/proxy.out" && break; sleep 0.1; done
grep -q READY "$WORK/proxy.out" || { echo "the delay proxy did not start" >&2; exit 1; }
mkfifo "$WORK/relay-in"
/usr/bin/python3 bench/byte_count_relay.py "$PROXY_PORT" "$WORK/counts.txt" < "$WORK/relay-in" > "$WORK/relay-out" &
PROXY_PIDS+=($!)
exec 5>"$WORK/relay-in"
for _ in $(seq 1 100); do grep -q PORT "$WORK/relay-out" && break; sleep 0.1; done
RELAY_PORT=$(awk '/^PORT/{print $2}' "$WORK/relay-out")
[ -n "$RELAY_PORT" ] || { echo "the byte-count relay did not start" >&2; exit 1; }
echo "OpenSSH $(sshd -V 2>&1 | head -1 | cut -d, -f1) behind a ${RTT_MS} ms round trip"

# One folder (and so one check cache) per row: settings.ini goes through the relay and the delay,
# direct.ini straight to sshd, for the unmeasured check that fills the cache (reading the whole tree
# at 150 ms would take minutes and measures nothing here).
write_settings() {
    mkdir -p "$WORK/$1"
    printf '[SFTP]\nIP=127.0.0.1\nport=%s\nLogin=%s\nPswd=%s\nHostKey=%s\n[Path]\nBrightfen Meter=%s\n' \
        "$3" "$USER_NAME" "$PASSWORD" "$FINGERPRINT" "$LOCAL" > "$WORK/$1/$4.txt"
    "$SETTINGS_TOOL" encrypt "$WORK/$1/$4.txt" "$WORK/$1/$4.ini"
    [ "$2" = no ] || "$SETTINGS_TOOL" set "$WORK/$1/$4.ini" SFTP/PublisherKey "$(cat "$WORK/publisher.pub")"
}
for place in plain signed; do
    key=$([ $place = signed ] && echo yes || echo no)
    write_settings $place "$key" "$RELAY_PORT" settings
    write_settings $place "$key" "$PORT" direct
done

# One check (PLACE [SETTINGS]); prints "seconds bytes_from_server exit_code".
one_check() {
    : > "$WORK/counts.txt"
    local start end code=0
    start=$(date +%s.%N)
    (cd "$WORK/$1" && "$CLI" --settings "${2:-settings}.ini" check > out.txt 2>&1) || code=$?
    end=$(date +%s.%N)
    sleep 1 # the relay writes a connection's count once both directions have closed
    echo "$(awk "BEGIN { print $end - $start }") $(awk '{ s += $1 } END { print s + 0 }' "$WORK/counts.txt") $code"
}

# ROW PLACE FIRST: RUNS checks, the cache removed before each when FIRST is yes; prints the medians.
series() {
    [ "$3" = yes ] || one_check "$2" direct > /dev/null # leaves the cache the measured checks start from
    local times=() bytes=() codes=() load
    load=$(cut -d' ' -f1 /proc/loadavg)
    for _ in $(seq 1 "$RUNS"); do
        [ "$3" = no ] || rm -f "$WORK/$2/UpdateCheckCache.json"
        read -r t b c < <(one_check "$2")
        times+=("$t"); bytes+=("$b"); codes+=("$c")
    done
    printf '%-44s %9.2f %14.3f %-8s %s\n' "$1" \
        "$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}')" \
        "$(printf '%s\n' "${bytes[@]}" | sort -g | awk '{a[NR]=$1} END{print a[int((NR+1)/2)] / 1000000}')" \
        "$(IFS=,; echo "${codes[*]}")" "$load"
}

echo
printf '%-44s %9s %14s %-8s %s\n' "check (median of $RUNS)" "seconds" "MB from server" "exits" "load"
series "no publisher key, cached (lists every folder)" plain no
series "signed manifest, cached" signed no
series "signed manifest, no cache (hashes the tree)" signed yes
echo "Exit code 0: nothing to update. Load: this 2-core machine's 1-minute load average as the row began."
