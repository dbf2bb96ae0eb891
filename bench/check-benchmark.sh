#!/bin/bash
# Update checks of an unchanged ~208 MB installed tree against OpenSSH sshd on loopback: what each
# one costs the server (bytes it sends) and how long it takes.
#
#   bench/check-benchmark.sh [BUILD_DIR]      (root; BUILD_DIR defaults to ./build)
#
# Rows: `quillon-cli check` without its cache (the first check), the same check again with the cache
# the last one left (every later check while nothing changed), `rclone check --download` (reads
# everything, like the first check), `rclone check` (sizes only: an SFTP server without a shell gives
# rclone no hashes) and `rclone copy --dry-run` (sizes and modification times). The tree is one large
# file and ~2000 small files in nested folders, generated here. Each row runs once to warm the caches,
# then RUNS times: the median time, the largest peak memory and the machine's load as the row began.
# Bytes from the server are counted once per row through a relay (byte_count_relay.py) that carries
# the connections: what left sshd on the wire, SSH framing, listings and log-in included.
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
CACHE_NAME=UpdateCheckCache.json
require "build it first" "$CLI" "$SETTINGS_TOOL" -- rclone /usr/bin/time

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

mkfifo "$WORK/relay-in"
/usr/bin/python3 bench/byte_count_relay.py "$PORT" "$WORK/counts.txt" < "$WORK/relay-in" > "$WORK/relay-out" &
PROXY_PIDS+=($!)
exec 5>"$WORK/relay-in"
for _ in $(seq 1 100); do grep -q PORT "$WORK/relay-out" && break; sleep 0.1; done
RELAY_PORT=$(awk '/^PORT/{print $2}' "$WORK/relay-out")
[ -n "$RELAY_PORT" ] || { echo "the byte-count relay did not start" >&2; exit 1; }

# One settings file (and so one cache folder) for the direct runs, one for the counted ones. The
# settings key store takes raw key names: write the plaintext, then encrypt it.
write_settings() {
    mkdir -p "$WORK/$1"
    printf '[SFTP]\nIP=127.0.0.1\nport=%s\nLogin=%s\nPswd=%s\nHostKey=%s\n[Path]\nBrightfen Meter=%s\n' \
        "$2" "$USER_NAME" "$PASSWORD" "$FINGERPRINT" "$LOCAL" > "$WORK/$1/settings.txt"
    "$SETTINGS_TOOL" encrypt "$WORK/$1/settings.txt" "$WORK/$1/settings.ini"
}
write_settings direct "$PORT"
write_settings counted "$RELAY_PORT"

rclone_flags() {
    echo --sftp-host 127.0.0.1 --sftp-port "$1" --sftp-user "$USER_NAME" \
        --sftp-pass "$(rclone obscure "$PASSWORD")" --sftp-shell-type none --sftp-disable-hashcheck \
        --config /dev/null --log-level ERROR
}
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

# The commands of each row, with the port to reach sshd by (direct, or through the relay).
# "first" removes the cache before every run; "second" keeps the one the previous run left.
row_command() {
    local row=$1 place=$2 port=$3
    case $row in
    first) echo "rm -f '$WORK/$place/$CACHE_NAME'; '$CLI' --settings '$WORK/$place/settings.ini' check" ;;
    second) echo "'$CLI' --settings '$WORK/$place/settings.ini' check" ;;
    rclone-download) echo "rclone check --download $(rclone_flags "$port") '$LOCAL' '$REMOTE'" ;;
    rclone-check) echo "rclone check $(rclone_flags "$port") '$LOCAL' '$REMOTE'" ;;
    rclone-dry-run) echo "rclone copy --dry-run $(rclone_flags "$port") '$REMOTE' '$LOCAL'" ;;
    esac
}

# Prints "median_seconds peak_kB exit_codes load".
run_series() {
    local command
    command=$(row_command "$1" direct "$PORT")
    measure bash -c "$command" > /dev/null # warm-up: page cache and sshd (and the cache for "second")
    local load
    load=$(cut -d' ' -f1 /proc/loadavg)
    local times=() peaks=() codes=()
    for _ in $(seq 1 "$RUNS"); do
        read -r t p c < <(measure bash -c "$command")
        times+=("$t"); peaks+=("$p"); codes+=("$c")
    done
    local median peak
    median=$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}')
    peak=$(printf '%s\n' "${peaks[@]}" | sort -g | tail -1)
    echo "$median $peak $(IFS=,; echo "${codes[*]}") $load"
}

# Bytes sshd sent for one run of the row, through the relay.
count_bytes() {
    local command
    command=$(row_command "$1" counted "$RELAY_PORT")
    [ "$1" != second ] || (cd "$WORK" && bash -c "$(row_command first counted "$RELAY_PORT")") > /dev/null 2>&1 || true
    sleep 1
    : > "$WORK/counts.txt"
    (cd "$WORK" && bash -c "$command") > /dev/null 2>&1 || true
    sleep 1 # the relay writes a connection's count once both directions have closed
    awk '{ sum += $1 } END { print sum + 0 }' "$WORK/counts.txt"
}

calc() { awk "BEGIN { print $1 }"; }

declare -A LABEL=([first]="quillon-cli check, first" [second]="quillon-cli check, cached"
    [rclone-download]="rclone check --download" [rclone-check]="rclone check (sizes)"
    [rclone-dry-run]="rclone copy --dry-run")
ROWS=(first second rclone-download rclone-check rclone-dry-run)
declare -A TIME PEAK CODES LOAD BYTES
for row in "${ROWS[@]}"; do
    echo "Measuring: ${LABEL[$row]}..."
    read -r TIME[$row] PEAK[$row] CODES[$row] LOAD[$row] < <(run_series "$row")
    BYTES[$row]=$(count_bytes "$row")
done
MD5_TIME=$(read -r t _ _ < <(measure bash -c "find '$LOCAL' -type f -print0 | xargs -0 md5sum > /dev/null"); echo "$t")

echo
printf '%-30s %9s %15s %12s %-10s %s\n' "median of $RUNS" "seconds" "MB from server" "peak RSS MB" "exit codes" "load"
for row in "${ROWS[@]}"; do
    printf '%-30s %9.2f %15.3f %12.1f %-10s %s\n' "${LABEL[$row]}" "${TIME[$row]}" \
        "$(calc "${BYTES[$row]} / 1000000")" "$(calc "${PEAK[$row]} / 1024")" "${CODES[$row]}" "${LOAD[$row]}"
done
printf '%-30s %9.2f\n' "local md5sum of the tree" "$MD5_TIME"
echo "Load is the 1-minute load average of this 2-core machine as each row began; other work lowers every figure."
printf 'first check: time ratio quillon/rclone check --download %.2f (target: at most 1; peak memory under 64 MB)\n' \
    "$(calc "${TIME[first]} / ${TIME[rclone-download]}")"
printf 'cached check: %.4f%% of the first check'"'"'s bytes from the server, %.2f times its speed; %.2f times the time of rclone check\n' \
    "$(calc "100 * ${BYTES[second]} / ${BYTES[first]}")" "$(calc "${TIME[first]} / ${TIME[second]}")" \
    "$(calc "${TIME[second]} / ${TIME[rclone-check]}")"
