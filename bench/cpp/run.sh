#!/usr/bin/env bash
# Builds and runs the C++ microbenchmarks; items_per_second is nodes per
# second, so 1e9 / items_per_second is nanoseconds per node.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
if ! compgen -G "/usr/lib/*/cmake/benchmark/benchmarkConfig.cmake" >/dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libbenchmark-dev >/dev/null
    else
        echo "error: Google Benchmark is missing; install it with: sudo apt-get install libbenchmark-dev" >&2
        exit 1
    fi
fi
BUILD="${VARNEL_BUILD:-$ROOT/build}/bench"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVARNEL_BUILD_PYTHON=OFF \
    -DVARNEL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD" --target varnel_graph_benchmark varnel_instruction_counts
exec "$BUILD/bench/cpp/varnel_graph_benchmark" "$@"
