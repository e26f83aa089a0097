#!/usr/bin/env bash
# Counts the instructions per node of the C++ benchmarks' workloads under
# valgrind's callgrind, where timings on a shared machine are too noisy to
# tell a few percent apart. Prints one line per workload and shape.
#   bench/cpp/instructions.sh [NODES [REPEAT]]
# VARNEL_INSTRUCTION_COUNTS names another build of instruction_counts.cpp,
# for example one linked with an older library, to count that instead.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
NODES="${1:-10000}"
REPEAT="${2:-4}"
if ! command -v valgrind >/dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
    else
        echo "error: valgrind is missing; install it with: sudo apt-get install valgrind" >&2
        exit 1
    fi
fi
PROGRAM="${VARNEL_INSTRUCTION_COUNTS:-}"
if [ -z "$PROGRAM" ]; then
    "$ROOT/bench/cpp/run.sh" --benchmark_list_tests=true >/dev/null
    PROGRAM="${VARNEL_BUILD:-$ROOT/build}/bench/bench/cpp/varnel_instruction_counts"
fi
count() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$PROGRAM" "$@" 2>&1 |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
printf '%-10s %-6s %12s\n' workload shape "instr/node"
for shape in chain wide lanes; do
    for workload in build evaluate backward compile call vjp jacobian; do
        once=$(count "$workload" "$shape" "$NODES" 1)
        more=$(count "$workload" "$shape" "$NODES" $((REPEAT + 1)))
        awk -v a="$once" -v b="$more" -v r="$REPEAT" -v n="$NODES" -v w="$workload" -v s="$shape" \
            'BEGIN { printf "%-10s %-6s %12.2f\n", w, s, (b - a) / (r * n) }'
    done
done
