#!/bin/bash
# Fetch speed and peak memory of `quillon-cli install` (the program's own downloader) beside OpenSSH
# `sftp` and `rclone copy`, against OpenSSH sshd on loopback, directly and through a delay proxy (this
# kernel has no netem), all in one run so that the ratios compare like with like.
#
#   bench/speed-benchmark.sh [BUILD_DIR]     (root; BUILD_DIR configured with -DQUILLON_BENCH=ON)
#
# Cases: one LARGE_MB file on loopback; the same at RTT_MS and at FAR_RTT_MS round trip; SMALL_FILES
# files of SMALL_KB at RTT_MS; NESTED_FILES small files in nested folders at RTT_MS; the large file at
# RTT_MS with the link cut at half the file, finished by a second run with and without resuming; the
# peak memory of one MEMORY_MB file. Each figure is the median of RUNS runs; the machine's load is
# printed with each figure, since other work on it lowers them. The large-file cases also show what
# limits them: the set-up alone (an empty component), each client's own processor time, a run with
# server and client on one core (loopback) and one session alone (far away).
set -eu
cd "$(dirname "$0")/.."
source bench/common.sh
BUILD=$(realpath "${1:-build}")
RUNS=${RUNS:-3}
LARGE_MB=${LARGE_MB:-200}
SMALL_FILES=${SMALL_FILES:-2000}
SMALL_KB=${SMALL_KB:-50}
RTT_MS=${RTT_MS:-50}
FAR_RTT_MS=${FAR_RTT_MS:-150}
MEMORY_MB=${MEMORY_MB:-1024}
NESTED_FILES=${NESTED_FILES:-60}
BENCH=$BUILD/bench/quillon-speed-bench
PROXY=$BUILD/bench/quillon-delay-proxy
CLI=$BUILD/tools/quillon-cli
SETTINGS_TOOL=$BUILD/tools/quillon-settings
require "cmake -DQUILLON_BENCH=ON, then build it" "$BENCH" "$PROXY" "$CLI" "$SETTINGS_TOOL" -- \
    rclone sshpass sftp /usr/bin/time taskset ss

make_work speed-bench

echo "Generating: one ${LARGE_MB} MiB file, ${SMALL_FILES} files of ${SMALL_KB} KiB, ${NESTED_FILES} nested files, one ${MEMORY_MB} MiB file..."
# One component folder per case, as the program fetches whole components.
SERVED="$WORK/tree/upload/Softwares/For Download"
REMOTE="/upload/Softwares/For Download"
LARGE="Brightfen Meter"
SMALL="Brightfen Console"
MEMORY="Brightfen Bridge"
EMPTY="Brightfen Sniffer" # nothing to fetch: start, connection, password check and listing alone
NESTED="Brightfen Fieldlink"
mkdir -p "$SERVED/$LARGE" "$SERVED/$SMALL" "$SERVED/$MEMORY" "$SERVED/$EMPTY"
head -c $((LARGE_MB * 1024 * 1024)) /dev/urandom > "$SERVED/$LARGE/large.bin"
head -c $((MEMORY_MB * 1024 * 1024)) /dev/zero > "$SERVED/$MEMORY/memory.bin"
make_small_files "$SERVED/$SMALL" "$SMALL_FILES" "$SMALL_KB"
make_small_files "$SERVED/$NESTED" "$NESTED_FILES" 4 nested

start_sshd "$WORK/tree" qspeed
echo "OpenSSH $(sshd -V 2>&1 | head -1 | cut -d, -f1) on 127.0.0.1:$PORT; $(nproc) cores"

# One settings file per port the program connects to: sshd itself and each proxy in front of it.
write_settings() {
    printf '[SFTP]\nIP=127.0.0.1\nport=%s\nLogin=%s\nPswd=%s\nHostKey=%s\n' \
        "$1" "$USER_NAME" "$PASSWORD" "$FINGERPRINT" > "$WORK/settings-$1.txt"
    "$SETTINGS_TOOL" encrypt "$WORK/settings-$1.txt" "$WORK/settings-$1.ini" > /dev/null
}

# Starts a delay proxy in front of sshd on port $1 with one-way delay $2 ms [cutting the link once
# $3 bytes have gone to the clients].
start_proxy() {
    "$PROXY" "$1" "$PORT" "$2" ${3:-} > "$WORK/proxy-$1.out" 2>&1 &
    PROXY_PIDS+=($!)
    for _ in $(seq 1 50); do grep -q READY "$WORK/proxy-$1.out" && break; sleep 0.1; done
    grep -q READY "$WORK/proxy-$1.out" || { echo "the delay proxy did not start on port $1" >&2; exit 1; }
}

# Runs a command under /usr/bin/time -v; prints "seconds peak_kB exit_code load cpu_seconds", the last
# being the client's own processor time (user + system, its child processes included).
measure() {
    local exit_code=0
    rm -rf "$WORK/out"
    if [ -n "${MEASURE_START:-}" ]; then mv "$MEASURE_START" "$WORK/out"; else mkdir -p "$WORK/out"; fi
    # The fetch commands are shell functions: run them in a child shell that /usr/bin/time watches.
    (cd "$WORK" && /usr/bin/time -v -o "$WORK/time.txt" bash -c "$(declare -f "$1"); \"\$@\"" _ "$@" \
        > "$WORK/cmd.txt" 2>&1) || exit_code=$?
    local wall peak cpu
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/{print $2}' "$WORK/time.txt" | awk -F: '{ if (NF==3) print $1*3600+$2*60+$3; else print $1*60+$2 }')
    peak=$(awk -F': ' '/Maximum resident set size/{print $2}' "$WORK/time.txt")
    cpu=$(awk -F': ' '/(User|System) time/{s+=$2} END{print s}' "$WORK/time.txt")
    echo "$wall $peak $exit_code $(cut -d' ' -f1 /proc/loadavg) $cpu"
}

# Median of RUNS measurements: prints "seconds peak_kB exit_code load cpu_seconds".
median() {
    local results=()
    for _ in $(seq 1 "$RUNS"); do results+=("$(measure "$@")"); done
    printf '%s\n' "${results[@]}" | sort -n | sed -n "$(((RUNS + 1) / 2))p"
}

# port component: the real program's install run of one component into $WORK/out.
quillon_install() { $PIN "$CLI" --settings "$WORK/settings-$1.ini" install --folder "LoRa=$WORK/out" "$2"; }
# port component/file [sessions]: the fetch machinery alone (benchmark program), for the limits.
bench_large() {
    "$BENCH" "$WORK/settings" 127.0.0.1 "$1" "$USER_NAME" "$PASSWORD" large "$REMOTE/$2" "$WORK/out/$(basename "$2")" \
        ${3:-}
}
# port component-or-file: OpenSSH's client, 64 requests of 32 KiB in flight.
sftp_get() {
    printf 'get -r "%s/%s" "%s/"\n' "$REMOTE" "$2" "$WORK/out" > "$WORK/batch.txt"
    $PIN sshpass -p "$PASSWORD" sftp -q -o BatchMode=no -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
        -o LogLevel=ERROR -P "$1" -b "$WORK/batch.txt" "$USER_NAME@127.0.0.1"
}
# port component: rclone with its defaults (4 transfers at once).
rclone_copy() {
    rclone copy --sftp-host 127.0.0.1 --sftp-port "$1" --sftp-user "$USER_NAME" \
        --sftp-pass "$(rclone obscure "$PASSWORD")" --sftp-shell-type none --sftp-disable-hashcheck \
        --config /dev/null --log-level ERROR ":sftp:$REMOTE/$2" "$WORK/out/$2"
}
mkdir -p "$WORK/settings"
# PIN, when set, runs the client under taskset (the one-core runs).
PIN=
export BENCH CLI REMOTE WORK USER_NAME PASSWORD PIN

# Prints one result line: name, MB/s, peak MB, load [, sessions]; sets LAST_RATE, LAST_SECONDS and
# LAST_CPU. With a proxy port as $4, also the connections the proxy accepted meanwhile (sessions per run).
report() {
    local name=$1 bytes=$2 result=$3 port=${4:-}
    read -r seconds peak code load cpu <<< "$result"
    LAST_RATE=$(awk -v b="$bytes" -v s="$seconds" 'BEGIN { if (b > 0) printf "%.1f", b / s / 1e6; else print "-" }')
    LAST_SECONDS=$seconds
    LAST_CPU=$cpu
    local note=""
    [ "$code" = 0 ] || note="  (exit code $code: $(tail -1 "$WORK/cmd.txt" | tr '\r' '\n' | tail -1))"
    if [ -n "$port" ]; then
        local total
        total=$(grep -c CONNECTION "$WORK/proxy-$port.out" || true)
        note="  sessions $(( (total - ${CONNECTIONS_BEFORE:-0}) / RUNS ))$note"
        CONNECTIONS_BEFORE=$total
    fi
    printf '  %-36s %8.2f s %9s MB/s %8.1f MB peak  load %s%s\n' "$name" "$seconds" "$LAST_RATE" \
        "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" "$load" "$note"
}
# Marks the proxy's connection count before a measurement whose sessions report() is to show.
count_from() { CONNECTIONS_BEFORE=$(grep -c CONNECTION "$WORK/proxy-$1.out" || true); }
# Warns when a copy is not the server's file or folder, which would make its figure meaningless.
same() { diff -rq "$SERVED/$1" "$2" > /dev/null || echo "  WARNING: $2 differs from the server's copy"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# The large file's rate net of the set-up: net TOTAL_SECONDS SETUP_SECONDS.
net() { awk -v b="$LARGE_BYTES" -v t="$1" -v e="$2" 'BEGIN { printf "%.1f", b / (t - e) / 1e6 }'; }
# set_up_alone PORT: the set-up alone (an empty component) through PORT, and the large file's rates
# net of it, from the times QT (quillon-cli) and ST (sftp) just measured through the same port.
set_up_alone() {
    report "quillon-cli install, empty" 0 "$(median quillon_install "$1" "$EMPTY")"
    local quillon=$(net "$QT" "$LAST_SECONDS")
    report "OpenSSH sftp, empty" 0 "$(median sftp_get "$1" "$EMPTY")"
    local sftp=$(net "$ST" "$LAST_SECONDS")
    echo "  net of set-up: quillon $quillon MB/s, sftp $sftp MB/s (ratio $(ratio "$quillon" "$sftp"))"
}

LARGE_BYTES=$((LARGE_MB * 1024 * 1024))
SMALL_BYTES=$((SMALL_FILES * SMALL_KB * 1024))
half() { awk -v r="$1" 'BEGIN { print r / 2 }'; }
ZERO_PROXY=$((PORT + 1000))
DELAY_PROXY=$((PORT + 1001))
FAR_PROXY=$((PORT + 1002))
CUT_PROXY=$((PORT + 1003))
start_proxy "$ZERO_PROXY" 0
start_proxy "$DELAY_PROXY" "$(half "$RTT_MS")"
start_proxy "$FAR_PROXY" "$(half "$FAR_RTT_MS")"
for port in "$PORT" "$ZERO_PROXY" "$DELAY_PROXY" "$FAR_PROXY" "$CUT_PROXY"; do write_settings "$port"; done
max() { awk -v a="$1" -v b="$2" 'BEGIN { print (a > b ? a : b) }'; }
THROUGH=0
through() { THROUGH=$(max "$THROUGH" "$LAST_RATE"); } # the fastest figure through the delay proxy

echo
echo "Delay proxy ceiling at 0 ms (its own limit; every figure through it below must stay under it):"
report "quillon-cli install via proxy, 0 ms" "$LARGE_BYTES" "$(median quillon_install "$ZERO_PROXY" "$LARGE")"
CEILING=$LAST_RATE
report "sftp via proxy, 0 ms" "$LARGE_BYTES" "$(median sftp_get "$ZERO_PROXY" "$LARGE")"
CEILING=$(max "$CEILING" "$LAST_RATE")
report "rclone copy via proxy, 0 ms" "$LARGE_BYTES" "$(median rclone_copy "$ZERO_PROXY" "$LARGE")"
CEILING=$(max "$CEILING" "$LAST_RATE")

echo
echo "1. One ${LARGE_MB} MiB file, loopback:"
report "quillon-cli install" "$LARGE_BYTES" "$(median quillon_install "$PORT" "$LARGE")"; Q=$LAST_RATE
same "$LARGE" "$WORK/out/$LARGE"
QT=$LAST_SECONDS; QC=$LAST_CPU
report "OpenSSH sftp" "$LARGE_BYTES" "$(median sftp_get "$PORT" "$LARGE")"; S=$LAST_RATE
ST=$LAST_SECONDS; SC=$LAST_CPU
same "$LARGE" "$WORK/out/$LARGE"
report "rclone copy" "$LARGE_BYTES" "$(median rclone_copy "$PORT" "$LARGE")"; R=$LAST_RATE
echo "  quillon / sftp = $(ratio "$Q" "$S")   quillon / rclone = $(ratio "$Q" "$R")   (target: 1.5 x sftp)"
echo "  What limits it. Set-up alone (an empty component: start, connection, password check, listing):"
set_up_alone "$PORT"
echo "  each client's own processor time: quillon-cli ${QC} s, ssh + sftp ${SC} s"
# On one core the time is the server's work and the client's added up: what two cores must share.
SERVER_LISTENER=$(ss -Hltnp "sport = :$PORT" | grep -o 'pid=[0-9]*' | head -1 | cut -d= -f2)
taskset -p 1 "$SERVER_LISTENER" > /dev/null # its sessions inherit the core
PIN="taskset 1"
report "quillon-cli install, all on one core" "$LARGE_BYTES" "$(median quillon_install "$PORT" "$LARGE")"
report "OpenSSH sftp, all on one core" "$LARGE_BYTES" "$(median sftp_get "$PORT" "$LARGE")"
PIN=
taskset -p "$(( (1 << $(nproc)) - 1 ))" "$SERVER_LISTENER" > /dev/null

# far_file N RTT PORT: the large file through the delay proxy on PORT, side by side with the peers,
# and what limits the program there.
far_file() {
    echo
    echo "$1. One ${LARGE_MB} MiB file, $2 ms round trip:"
    count_from "$3"
    report "quillon-cli install" "$LARGE_BYTES" "$(median quillon_install "$3" "$LARGE")" "$3"; Q=$LAST_RATE
    QT=$LAST_SECONDS
    through
    same "$LARGE" "$WORK/out/$LARGE"
    report "OpenSSH sftp" "$LARGE_BYTES" "$(median sftp_get "$3" "$LARGE")"; S=$LAST_RATE
    ST=$LAST_SECONDS
    through
    report "rclone copy" "$LARGE_BYTES" "$(median rclone_copy "$3" "$LARGE")"; R=$LAST_RATE
    through
    echo "  quillon / sftp = $(ratio "$Q" "$S")   quillon / rclone = $(ratio "$Q" "$R")   (target: 2.0 x sftp)"
    echo "  What limits it. Set-up alone (an empty component):"
    set_up_alone "$3"
    # Each channel's flow-control window caps one session at window / round trip.
    report "machinery alone, one session" "$LARGE_BYTES" "$(median bench_large "$3" "$LARGE/large.bin" 1)"
    through
    report "machinery alone, four sessions" "$LARGE_BYTES" "$(median bench_large "$3" "$LARGE/large.bin")"
    through
}
far_file 2 "$RTT_MS" "$DELAY_PROXY"
far_file 3 "$FAR_RTT_MS" "$FAR_PROXY"

echo
echo "4. ${SMALL_FILES} files of ${SMALL_KB} KiB, ${RTT_MS} ms round trip:"
count_from "$DELAY_PROXY"
report "quillon-cli install" "$SMALL_BYTES" "$(median quillon_install "$DELAY_PROXY" "$SMALL")" "$DELAY_PROXY"
Q=$LAST_RATE
through
same "$SMALL" "$WORK/out/$SMALL"
report "rclone copy" "$SMALL_BYTES" "$(median rclone_copy "$DELAY_PROXY" "$SMALL")"; R=$LAST_RATE
through
same "$SMALL" "$WORK/out/$SMALL"
echo "  quillon / rclone = $(ratio "$Q" "$R")   (target: 1.5)"
if [ "${SFTP_SMALL:-0}" = 1 ]; then
    report "OpenSSH sftp" "$SMALL_BYTES" "$(median sftp_get "$DELAY_PROXY" "$SMALL")"
fi

echo
echo "Also: ${NESTED_FILES} files of 4 KiB, each in a folder of its own two levels down, ${RTT_MS} ms round trip"
echo "(a walk that costs round trips per folder):"
report "quillon-cli install" "$((NESTED_FILES * 4096))" "$(median quillon_install "$DELAY_PROXY" "$NESTED")"
same "$NESTED" "$WORK/out/$NESTED"
report "OpenSSH sftp" "$((NESTED_FILES * 4096))" "$(median sftp_get "$DELAY_PROXY" "$NESTED")"
report "rclone copy" "$((NESTED_FILES * 4096))" "$(median rclone_copy "$DELAY_PROXY" "$NESTED")"

# cut_then_finish KEEP: one install run through a proxy that cuts the link at half the file, then a
# second run through it (no more cuts) that finishes; KEEP=no removes the partial file between them,
# as a downloader without resume would start again. Prints "seconds peak_kB exit_code load cpu" of both
# runs added up (the second run's exit code and peak).
cut_then_finish() {
    start_proxy "$CUT_PROXY" "$(half "$RTT_MS")" $((LARGE_BYTES / 2))
    local first second
    first=$(measure quillon_install "$CUT_PROXY" "$LARGE")
    [ "$1" = yes ] || find "$WORK/out" -name '*.part' -delete
    mv "$WORK/out" "$WORK/kept"
    second=$(measure_keeping "$WORK/kept" quillon_install "$CUT_PROXY" "$LARGE")
    same "$LARGE" "$WORK/out/$LARGE"
    kill "${PROXY_PIDS[-1]}"; wait "${PROXY_PIDS[-1]}" 2>/dev/null || true; unset 'PROXY_PIDS[-1]'
    read -r s1 p1 c1 l1 u1 <<< "$first"
    read -r s2 p2 c2 l2 u2 <<< "$second"
    [ "$c1" != 0 ] || echo "  WARNING: the link was not cut (the first run ended with exit code 0)" >&2
    echo "$(awk -v a="$s1" -v b="$s2" 'BEGIN { print a + b }') $(max "$p1" "$p2") $c2 $l2 $u2"
}
# measure_keeping FOLDER command...: measure, with the output folder starting as FOLDER's contents.
measure_keeping() {
    local kept=$1
    shift
    MEASURE_START=$kept measure "$@"
}
median_cut() {
    local results=()
    for _ in $(seq 1 "$RUNS"); do results+=("$(cut_then_finish "$1")"); done
    printf '%s\n' "${results[@]}" | sort -n | sed -n "$(((RUNS + 1) / 2))p"
}
echo
echo "5. One ${LARGE_MB} MiB file, ${RTT_MS} ms round trip, the link cut at half the file, then run again:"
report "quillon-cli install, resumed" "$LARGE_BYTES" "$(median_cut yes)"; RESUMED=$LAST_SECONDS
report "quillon-cli install, from zero" "$LARGE_BYTES" "$(median_cut no)"; AFRESH=$LAST_SECONDS
echo "  time to complete: resumed / from zero = $(ratio "$RESUMED" "$AFRESH")   (MB/s over both runs)"

echo
echo "6. Peak memory of an install run of one ${MEMORY_MB} MiB file (target: under 64 MB):"
report "quillon-cli install, loopback" "$((MEMORY_MB * 1024 * 1024))" "$(median quillon_install "$PORT" "$MEMORY")"
report "quillon-cli install, ${RTT_MS} ms" "$((MEMORY_MB * 1024 * 1024))" \
    "$(median quillon_install "$DELAY_PROXY" "$MEMORY")"
through
report "quillon-cli install, ${FAR_RTT_MS} ms" "$((MEMORY_MB * 1024 * 1024))" \
    "$(median quillon_install "$FAR_PROXY" "$MEMORY")"
through
echo
if awk -v t="$THROUGH" -v c="$CEILING" 'BEGIN { exit !(t < c) }'; then
    echo "Proxy ceiling: ${CEILING} MB/s at 0 ms, above every figure through it (fastest ${THROUGH} MB/s)."
else
    echo "WARNING: a figure through the proxy (${THROUGH} MB/s) reaches its ceiling (${CEILING} MB/s at 0 ms)."
fi
