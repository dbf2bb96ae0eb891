#!/bin/bash
# The longest stand-still of the program's event loop in the windows' four waits, for this tree and for an
# earlier commit built beside it (default a8473ef, the code that still waited on the main thread).
#
#   bench/stall-benchmark.sh [BUILD_DIR] [BASE_COMMIT]     (BUILD_DIR defaults to ./build, configured with
#                                                           -DQUILLON_BENCH=ON; RUNS=3 runs per scenario)
#
# The earlier commit is exported to BUILD_DIR/stall-base, given this benchmark's source and built there.
set -eu
cd "$(dirname "$0")/.."
BUILD=$(realpath "${1:-build}")
BASE_COMMIT=${2:-a8473ef}
RUNS=${RUNS:-3}
BASE=$BUILD/stall-base
export QT_QPA_PLATFORM=offscreen

cmake --build "$BUILD" --target quillon-stall-bench >/dev/null

rm -rf "$BASE/src"
mkdir -p "$BASE/src"
git archive "$BASE_COMMIT" | tar -x -C "$BASE/src"
cp bench/stall_bench.cpp "$BASE/src/bench/"
cat >> "$BASE/src/bench/CMakeLists.txt" <<'CMAKE'
add_executable(quillon-stall-bench stall_bench.cpp)
target_link_libraries(quillon-stall-bench PRIVATE quillon quillon_testsupport)
target_compile_definitions(quillon-stall-bench PRIVATE QUILLON_STALL_BENCH_BASE)
CMAKE
LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$BASE/src" -B "$BASE/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_BENCH=ON \
    "${LAUNCHER[@]}" >/dev/null
cmake --build "$BASE/build" --target quillon-stall-bench >/dev/null

echo "Longest gap between event-loop turns, $RUNS runs each; goal: none over 100 ms."
echo "== before ($BASE_COMMIT)"
"$BASE/build/bench/quillon-stall-bench" "$RUNS" 2>/dev/null
echo "== after ($(git rev-parse --short HEAD)$(git diff --quiet HEAD || echo ', with uncommitted changes'))"
"$BUILD/bench/quillon-stall-bench" "$RUNS" 2>/dev/null
