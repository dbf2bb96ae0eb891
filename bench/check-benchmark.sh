#!/bin/bash
# Times an update check of an unchanged ~200 MB installed tree against OpenSSH sshd on loopback:
# `quillon-cli check` against `rclone check --download`, with each one's peak memory.
#
#   bench/check-benchmark.sh [BUILD_DIR]      (root; BUILD_DIR defaults to ./build)
#
# The tree is one large file and ~2000 small files in nested folders, generated here. Each tool
# runs once to warm the caches, then RUNS times; the median time and the largest peak are printed.
set -eu
cd "$(dirname "$0")/.."
source bench/common.sh
BUILD=$(realpath "${1:-build}")
RUNS=${RUNS:-3}
LARGE_MB=${LARGE_MB:-100}
SMALL_FILES=${SMALL_FILES:-2000}
SMALL_KB=${SMALL_KB:-50}
CLI=$BUILD/tools/quillon-cli
SETTINGS_TOOL=$BUILD/tools/quillon-settings
require "build it first" "$CLI" "$SETTINGS_TOOL" -- rclone

make_work check-bench

COMPONENT="$WORK/tree/upload/Softwares/For Download/Brightfen Meter"
LOCAL="$WORK/install/Brightfen Meter"
echo "Generating the tree: one ${LARGE_MB} MiB file and ${SMALL_FILES} files of ${SMALL_KB} KiB..."
mkdir -p "$COMPONENT"
head -c $((LARGE_MB * 1024 * 1024)) /dev/urandom > "$COMPONENT/Meter-data.bin"
make_small_files "$COMPONENT" "$SMALL_FILES" "$SMALL_KB" nested
mkdir -p "$WORK/install"
cp -a "$COMPONENT" "$LOCAL"
TOTAL=$(du -sb "$COMPONENT" | cut -f1)
echo "Tree: $((TOTAL / 1000000)) MB in $(find "$COMPONENT" -type f | wc -l) files"

start_sshd "$WORK/tree" qbench
echo "OpenSSH $(sshd -V 2>&1 | head -1 | cut -d, -f1) on 127.0.0.1:$PORT"

# The settings key store takes raw key names: write the plaintext, then encrypt it.
printf '[SFTP]\nIP=127.0.0.1\nport=%s\nLogin=%s\nPswd=%s\nHostKey=%s\n[Path]\nBrightfen Meter=%s\n' \
    "$PORT" "$USER_NAME" "$PASSWORD" "$FINGERPRINT" "$LOCAL" > "$WORK/settings.txt"
"$SETTINGS_TOOL" encrypt "$WORK/settings.txt" "$WORK/settings.ini"

RCLONE_FLAGS=(--sftp-host 127.0.0.1 --sftp-port "$PORT" --sftp-user "$USER_NAME"
    --sftp-pass "$(rclone obscure "$PASSWORD")" --sftp-shell-type none --sftp-disable-hashcheck
    --config /dev/null --log-level ERROR)
REMOTE=":sftp:/upload/Softwares/For Download/Brightfen Meter"

# Runs a command under /usr/bin/time -v; prints "seconds peak_kB exit_code".
measure() {
    local exit_code=0
    (cd "$WORK" && /usr/bin/time -v -o "$WORK/time.txt" "$@" > "$WORK/out.txt" 2>&1) || exit_code=$?
    local wall peak
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/{print $2}' "$WORK/time.txt" | awk -F: '{ if (NF==3) print $1*3600+$2*60+$3; else print $1*60+$2 }')
    peak=$(awk -F': ' '/Maximum resident set size/{print $2}' "$WORK/time.txt")
    echo "$wall $peak $exit_code"
}

run_series() {
    local name=$1; shift
    measure "$@" > /dev/null # warm-up: page cache and sshd
    # The machine's load as the series starts: other work on its two cores lowers every figure.
    local load
    load=$(cut -d' ' -f1 /proc/loadavg)
    local times=() peaks=() codes=()
    for _ in $(seq 1 "$RUNS"); do
        read -r t p c < <(measure "$@")
        times+=("$t"); peaks+=("$p"); codes+=("$c")
    done
    local median peak
    median=$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}')
    peak=$(printf '%s\n' "${peaks[@]}" | sort -g | tail -1)
    echo "$name $median $peak $(IFS=,; echo "${codes[*]}") $load"
}

read -r _ CLI_TIME CLI_PEAK CLI_CODES CLI_LOAD < <(run_series quillon "$CLI" --settings "$WORK/settings.ini" check)
read -r _ RC_TIME RC_PEAK RC_CODES RC_LOAD < <(run_series rclone rclone check --download "${RCLONE_FLAGS[@]}" "$LOCAL" "$REMOTE")
MD5_TIME=$(read -r t _ _ < <(measure bash -c "find '$LOCAL' -type f -print0 | xargs -0 md5sum > /dev/null"); echo "$t")

calc() { awk "BEGIN { print $1 }"; }

echo
printf '%-28s %10s %14s %-12s %s\n' "tool (median of $RUNS)" "seconds" "peak RSS MB" "exit codes" "load"
printf '%-28s %10.2f %14.1f %-12s %s\n' "quillon-cli check" "$CLI_TIME" "$(calc "$CLI_PEAK / 1024")" "$CLI_CODES" \
    "$CLI_LOAD"
printf '%-28s %10.2f %14.1f %-12s %s\n' "rclone check --download" "$RC_TIME" "$(calc "$RC_PEAK / 1024")" "$RC_CODES" \
    "$RC_LOAD"
printf '%-28s %10.2f\n' "local md5sum of the tree" "$MD5_TIME"
printf 'time ratio quillon/rclone: %.2f (target: at most 1; peak memory under 64 MB)\n' "$(calc "$CLI_TIME / $RC_TIME")"
printf 'throughput: quillon %.0f MB/s, rclone %.0f MB/s\n' "$(calc "$TOTAL / 1000000 / $CLI_TIME")" \
    "$(calc "$TOTAL / 1000000 / $RC_TIME")"
