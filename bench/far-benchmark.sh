#!/bin/bash
# Many files and folders far from the server: `quillon-cli` beside rclone and OpenSSH sftp, against
# OpenSSH sshd through the delay proxy (this kernel has no netem), all in one run so that the ratios
# compare like with like.
#
#   bench/far-benchmark.sh [BUILD_DIR]     (root; BUILD_DIR configured with -DQUILLON_BENCH=ON)
#
# Cases: SMALL_FILES files of SMALL_KB KiB at RTT_MS and at FAR_RTT_MS (quillon-cli install, rclone
# copy); a check with nothing changed and the digest cache warm of a tree of TREE_FOLDERS folders and
# TREE_FILES small files at RTT_MS (quillon-cli check, rclone check --size-only); one LARGE_MB file at
# RTT_MS and FAR_RTT_MS (quillon-cli install, OpenSSH sftp). Each figure is the median of RUNS runs,
# with the peak resident size, the client's own processor time (user + system) and the machine's load as
# the row began. PEERS=0 leaves the peers out (the program's own figures and limits only).
set -eu
cd "$(dirname "$0")/.."
source bench/common.sh
BUILD=$(realpath "${1:-build}")
RUNS=${RUNS:-1}
SMALL_FILES=${SMALL_FILES:-2000}
FAR_SMALL_FILES=${FAR_SMALL_FILES:-$SMALL_FILES}
SMALL_KB=${SMALL_KB:-50}
TREE_FILES=${TREE_FILES:-250}
LARGE_MB=${LARGE_MB:-200}
RTT_MS=${RTT_MS:-50}
FAR_RTT_MS=${FAR_RTT_MS:-150}
PEERS=${PEERS:-1}
PROXY=$BUILD/bench/quillon-delay-proxy
CLI=$BUILD/tools/quillon-cli
SETTINGS_TOOL=$BUILD/tools/quillon-settings
require "cmake -DQUILLON_BENCH=ON, then build it" "$PROXY" "$CLI" "$SETTINGS_TOOL" -- \
    rclone sftp sshpass /usr/bin/time

make_work far-bench
SERVED="$WORK/tree/upload/Softwares/For Download"
REMOTE="/upload/Softwares/For Download"
echo "Generating: ${SMALL_FILES} (and ${FAR_SMALL_FILES}) files of ${SMALL_KB} KiB, a tree of ${TREE_FILES} files in 166 folders, one ${LARGE_MB} MiB file..."
# Catalog components: the small files, the same count again far away (or the same folder), the tree to
# check and the large file.
SMALL="Brightfen Console"
FAR_SMALL="Brightfen Console"
TREE="Brightfen Meter"
LARGE="Brightfen Sniffer"
make_small_files "$SERVED/$SMALL" "$SMALL_FILES" "$SMALL_KB"
if [ "$FAR_SMALL_FILES" != "$SMALL_FILES" ]; then
    FAR_SMALL="Brightfen Bridge"
    make_small_files "$SERVED/$FAR_SMALL" "$FAR_SMALL_FILES" "$SMALL_KB"
fi
/usr/bin/python3 - "$SERVED/$TREE" "$TREE_FILES" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
folders = [os.path.join(root, "lib%02d" % i, "part%02d" % j) for i in range(15) for j in range(10)]
for folder in folders:
    os.makedirs(folder, exist_ok=True)
for i in range(count):
    with open(os.path.join(folders[i % len(folders)], "file%04d.dat" % i), "wb") as f:
        f.write(os.urandom(4096))
PY
mkdir -p "$SERVED/$LARGE"
head -c $((LARGE_MB * 1024 * 1024)) /dev/urandom > "$SERVED/$LARGE/large.bin"
TREE_FOLDERS=$(find "$SERVED/$TREE" -type d | wc -l)

start_sshd "$WORK/tree" qfar
echo "OpenSSH $(sshd -V 2>&1 | head -1 | cut -d, -f1) on 127.0.0.1:$PORT; $(nproc) cores"
NEAR=$((PORT + 1001))
FAR=$((PORT + 1002))
for proxy in "$NEAR:$RTT_MS" "$FAR:$FAR_RTT_MS"; do
    "$PROXY" "${proxy%:*}" "$PORT" "$(awk -v r="${proxy#*:}" 'BEGIN { print r / 2 }')" > "$WORK/proxy-${proxy%:*}.out" 2>&1 &
    PROXY_PIDS+=($!)
    for _ in $(seq 1 50); do grep -qs READY "$WORK/proxy-${proxy%:*}.out" && break; sleep 0.1; done
done
for port in "$NEAR" "$FAR"; do
    printf '[SFTP]\nIP=127.0.0.1\nport=%s\nLogin=%s\nPswd=%s\nHostKey=%s\n[Path]\n%s=%s\n' \
        "$port" "$USER_NAME" "$PASSWORD" "$FINGERPRINT" "$TREE" "$WORK/installed/$TREE" > "$WORK/settings-$port.txt"
    mkdir -p "$WORK/s$port"
    "$SETTINGS_TOOL" encrypt "$WORK/settings-$port.txt" "$WORK/s$port/settings.ini"
done
mkdir -p "$WORK/installed"
cp -a "$SERVED/$TREE" "$WORK/installed/$TREE"

# Runs a command line under /usr/bin/time -v; prints "seconds peak_kB exit_code load cpu_seconds".
measure() {
    local exit_code=0 load
    load=$(cut -d' ' -f1 /proc/loadavg)
    rm -rf "$WORK/out"
    mkdir -p "$WORK/out"
    (cd "$WORK" && /usr/bin/time -v -o "$WORK/time.txt" bash -c "$1" > "$WORK/cmd.txt" 2>&1) || exit_code=$?
    local wall peak cpu
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/{print $2}' "$WORK/time.txt" | awk -F: '{ if (NF==3) print $1*3600+$2*60+$3; else print $1*60+$2 }')
    peak=$(awk -F': ' '/Maximum resident set size/{print $2}' "$WORK/time.txt")
    cpu=$(awk -F': ' '/(User|System) time/{s+=$2} END{print s}' "$WORK/time.txt")
    echo "$wall $peak $exit_code $load $cpu"
}
median() {
    local results=()
    for _ in $(seq 1 "$RUNS"); do results+=("$(measure "$1")"); done
    printf '%s\n' "${results[@]}" | sort -g | sed -n "$(((RUNS + 1) / 2))p"
}
# report NAME RESULT: one line; sets LAST (seconds).
report() {
    read -r seconds peak code load cpu <<< "$2"
    LAST=$seconds
    local note=""
    [ "$code" = 0 ] || note="  (exit code $code: $(tail -1 "$WORK/cmd.txt"))"
    printf '  %-34s %8.2f s %8.1f MB peak %7.2f s cpu  load %s%s\n' "$1" "$seconds" \
        "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" "$cpu" "$load" "$note"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }
same() { diff -rq "$SERVED/$1/" "$2" > /dev/null || echo "  WARNING: $2 differs from the server's copy"; }

install() { echo "'$CLI' --settings '$WORK/s$1/settings.ini' install --folder 'LoRa=$WORK/out' '$2'"; }
check() { echo "'$CLI' --settings '$WORK/s$1/settings.ini' check"; }
rclone_flags() {
    echo --sftp-host 127.0.0.1 --sftp-port "$1" --sftp-user "$USER_NAME" \
        --sftp-pass "$(rclone obscure "$PASSWORD")" --sftp-shell-type none --sftp-disable-hashcheck \
        --config /dev/null --log-level ERROR
}
rclone_copy() { echo "rclone copy $(rclone_flags "$1") ':sftp:$REMOTE/$2' '$WORK/out/$2'"; }
sftp_get() {
    printf 'get -r "%s/%s" "%s/"\n' "$REMOTE" "$2" "$WORK/out" > "$WORK/batch.txt"
    echo "sshpass -p '$PASSWORD' sftp -q -o BatchMode=no -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -P $1 -b '$WORK/batch.txt' '$USER_NAME@127.0.0.1'"
}

small() {
    echo
    echo "$1 files of ${SMALL_KB} KiB, $2 ms round trip (goal: $4 x rclone copy):"
    report "quillon-cli install" "$(median "$(install "$3" "$5")")"; local q=$LAST
    same "$5" "$WORK/out/$5"
    [ "$PEERS" = 1 ] || return 0
    report "rclone copy" "$(median "$(rclone_copy "$3" "$5")")"; local r=$LAST
    echo "  rclone / quillon = $(ratio "$q" "$r") x"
}
small "$SMALL_FILES" "$RTT_MS" "$NEAR" 5 "$SMALL"
small "$FAR_SMALL_FILES" "$FAR_RTT_MS" "$FAR" 8 "$FAR_SMALL"

echo
echo "Check with nothing changed, cache warm: ${TREE_FOLDERS} folders, ${TREE_FILES} files, ${RTT_MS} ms (goal: 2 x rclone check --size-only):"
measure "$(check "$NEAR")" > /dev/null # fills the digest cache
report "quillon-cli check, cached" "$(median "$(check "$NEAR")")"; Q=$LAST
[ "$PEERS" = 0 ] || report "rclone check --size-only" "$(median "rclone check --size-only $(rclone_flags "$NEAR") '$WORK/installed/$TREE' ':sftp:$REMOTE/$TREE'")"
[ "$PEERS" = 0 ] || echo "  rclone / quillon = $(ratio "$Q" "$LAST") x"

large() {
    echo
    echo "One ${LARGE_MB} MiB file, $1 ms round trip (goal: 2.0 x OpenSSH sftp):"
    report "quillon-cli install" "$(median "$(install "$2" "$LARGE")")"; local q=$LAST
    same "$LARGE" "$WORK/out/$LARGE"
    [ "$PEERS" = 1 ] || return 0
    report "OpenSSH sftp" "$(median "$(sftp_get "$2" "$LARGE")")"
    echo "  sftp / quillon = $(ratio "$q" "$LAST") x"
}
large "$RTT_MS" "$NEAR"
large "$FAR_RTT_MS" "$FAR"
