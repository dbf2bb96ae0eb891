#!/bin/bash
# Times fetching a large file and a folder of many small files from OpenSSH sshd on loopback:
# `quillon-cli install` against OpenSSH `sftp` and `rclone copy`, with each one's peak memory.
#
#   bench/download-benchmark.sh [BUILD_DIR]      (root; BUILD_DIR defaults to ./build)
#
# Each tool fetches into an empty folder; it runs once to warm the caches, then RUNS times; the
# median time and the largest peak resident size are printed.
set -eu
cd "$(dirname "$0")/.."
source bench/common.sh
BUILD=$(realpath "${1:-build}")
RUNS=${RUNS:-3}
LARGE_MB=${LARGE_MB:-200}
SMALL_FILES=${SMALL_FILES:-2000}
SMALL_KB=${SMALL_KB:-8}
CLI=$BUILD/tools/quillon-cli
SETTINGS_TOOL=$BUILD/tools/quillon-settings
require "build it first" "$CLI" "$SETTINGS_TOOL" -- rclone sftp sshpass

make_work download-bench

SERVED="$WORK/tree/upload/Softwares/For Download"
LARGE_NAME="Brightfen Meter"
SMALL_NAME="Brightfen Console"
echo "Generating: one ${LARGE_MB} MiB file, and ${SMALL_FILES} files of ${SMALL_KB} KiB in nested folders..."
mkdir -p "$SERVED/$LARGE_NAME"
head -c $((LARGE_MB * 1024 * 1024)) /dev/urandom > "$SERVED/$LARGE_NAME/Meter-data.bin"
make_small_files "$SERVED/$SMALL_NAME" "$SMALL_FILES" "$SMALL_KB" nested
LARGE_BYTES=$(du -sb --apparent-size "$SERVED/$LARGE_NAME" | cut -f1)
SMALL_BYTES=$(find "$SERVED/$SMALL_NAME" -type f -printf '%s\n' | awk '{s+=$1} END{print s}')

start_sshd "$WORK/tree" qdown
echo "OpenSSH $(sshd -V 2>&1 | head -1 | cut -d, -f1) on 127.0.0.1:$PORT"

printf '[SFTP]\nIP=127.0.0.1\nport=%s\nLogin=%s\nPswd=%s\nHostKey=%s\n' \
    "$PORT" "$USER_NAME" "$PASSWORD" "$FINGERPRINT" > "$WORK/settings.txt"
"$SETTINGS_TOOL" encrypt "$WORK/settings.txt" "$WORK/settings.ini"

RCLONE_FLAGS=(--sftp-host 127.0.0.1 --sftp-port "$PORT" --sftp-user "$USER_NAME"
    --sftp-pass "$(rclone obscure "$PASSWORD")" --sftp-shell-type none --config /dev/null --log-level ERROR)
SFTP_FLAGS=(-o BatchMode=no -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR
    -P "$PORT")

# Runs a command under /usr/bin/time -v into an emptied target; prints "seconds peak_kB exit_code".
measure() {
    local target=$1; shift
    rm -rf "$target"; mkdir -p "$target"; sync
    local exit_code=0
    (cd "$WORK" && /usr/bin/time -v -o "$WORK/time.txt" "$@" > "$WORK/out.txt" 2>&1) || exit_code=$?
    local wall peak
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/{print $2}' "$WORK/time.txt" | awk -F: '{ if (NF==3) print $1*3600+$2*60+$3; else print $1*60+$2 }')
    peak=$(awk -F': ' '/Maximum resident set size/{print $2}' "$WORK/time.txt")
    echo "$wall $peak $exit_code"
}

# name target command...: the median of RUNS runs after a warm-up, the largest peak, every exit code.
run_series() {
    local target=$2
    measure "$target" "${@:3}" > /dev/null
    # The machine's load as the series starts: other work on its two cores lowers every figure.
    local load
    load=$(cut -d' ' -f1 /proc/loadavg)
    local times=() peaks=() codes=()
    for _ in $(seq 1 "$RUNS"); do
        read -r t p c < <(measure "$target" "${@:3}")
        times+=("$t"); peaks+=("$p"); codes+=("$c")
    done
    local median peak
    median=$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}')
    peak=$(printf '%s\n' "${peaks[@]}" | sort -g | tail -1)
    echo "$1 $median $peak $(IFS=,; echo "${codes[*]}") $load"
}

calc() { awk "BEGIN { print $1 }"; }

bench_component() {
    local component=$1 bytes=$2
    local remote="/upload/Softwares/For Download/$component"
    printf 'get -r "%s" "%s"\n' "$remote" "$WORK/dst-sftp" > "$WORK/batch.txt"
    read -r _ Q_TIME Q_PEAK Q_CODES Q_LOAD < <(run_series quillon "$WORK/dst-quillon" \
        "$CLI" --settings "$WORK/settings.ini" install --folder "LoRa=$WORK/dst-quillon" "$component")
    read -r _ S_TIME S_PEAK S_CODES S_LOAD < <(run_series sftp "$WORK/dst-sftp" \
        sshpass -p "$PASSWORD" sftp "${SFTP_FLAGS[@]}" -b "$WORK/batch.txt" "$USER_NAME@127.0.0.1")
    read -r _ R_TIME R_PEAK R_CODES R_LOAD < <(run_series rclone "$WORK/dst-rclone" \
        rclone copy "${RCLONE_FLAGS[@]}" ":sftp:$remote" "$WORK/dst-rclone")
    echo
    echo "$component: $((bytes / 1000000)) MB in $(find "$SERVED/$component" -type f | wc -l) file(s), median of $RUNS"
    printf '  %-22s %9s %9s %12s %-11s %s\n' tool seconds "MB/s" "peak RSS MB" "exit codes" load
    printf '  %-22s %9.2f %9.1f %12.1f %-11s %s\n' "quillon-cli install" "$Q_TIME" "$(calc "$bytes / 1000000 / $Q_TIME")" \
        "$(calc "$Q_PEAK / 1024")" "$Q_CODES" "$Q_LOAD"
    printf '  %-22s %9.2f %9.1f %12.1f %-11s %s\n' "sftp (OpenSSH)" "$S_TIME" "$(calc "$bytes / 1000000 / $S_TIME")" \
        "$(calc "$S_PEAK / 1024")" "$S_CODES" "$S_LOAD"
    printf '  %-22s %9.2f %9.1f %12.1f %-11s %s\n' "rclone copy" "$R_TIME" "$(calc "$bytes / 1000000 / $R_TIME")" \
        "$(calc "$R_PEAK / 1024")" "$R_CODES" "$R_LOAD"
    printf '  time ratio quillon/sftp %.2f, quillon/rclone %.2f\n' "$(calc "$Q_TIME / $S_TIME")" \
        "$(calc "$Q_TIME / $R_TIME")"
    # The copies must be complete and equal, or the figures mean nothing.
    for dst in "$WORK/dst-quillon/$component" "$WORK/dst-sftp/$component" "$WORK/dst-rclone"; do
        diff -rq "$SERVED/$component" "$dst" > /dev/null || echo "  WARNING: $dst differs from the server's folder"
    done
}

bench_component "$LARGE_NAME" "$LARGE_BYTES"
bench_component "$SMALL_NAME" "$SMALL_BYTES"
