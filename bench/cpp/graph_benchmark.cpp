// Node creation, release, evaluate and backward per node, on chains and on
// wide graphs of 1e3 to 1e6 nodes, and the same graphs compiled: making the
// Function, then its evaluate and vjp. Run: bench/cpp/run.sh
#include <benchmark/benchmark.h>

#include <vector>

#include "graphs.h"
#include "symbolic/function.h"
#include "symbolic/symbolic.h"

namespace {

namespace sym = varnel::symbolic;

using varnel::bench::chain;
using varnel::bench::parameters;
using varnel::bench::wide;

void BM_ChainBuild(benchmark::State& state) {
    const sym::Value x = sym::parameter(0.5, "x");
    for (auto _ : state) {
        benchmark::DoNotOptimize(chain(x, state.range(0)));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Dropping the last handle of a chain: every node is released by the
// destructor's work list, never recursively.
void BM_ChainRelease(benchmark::State& state) {
    const sym::Value x = sym::parameter(0.5, "x");
    for (auto _ : state) {
        state.PauseTiming();
        sym::Value y = chain(x, state.range(0));
        state.ResumeTiming();
        y = sym::Value();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ChainEvaluate(benchmark::State& state) {
    const sym::Value x = sym::parameter(0.5, "x");
    const sym::Value y = chain(x, state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(y.evaluate());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ChainBackward(benchmark::State& state) {
    const sym::Value x = sym::parameter(0.5, "x");
    const sym::Value y = chain(x, state.range(0));
    for (auto _ : state) {
        y.backward();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_WideEvaluate(benchmark::State& state) {
    const auto params = parameters(1000);
    const sym::Value y = wide(params, state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(y.evaluate());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_WideBackward(benchmark::State& state) {
    const auto params = parameters(1000);
    const sym::Value y = wide(params, state.range(0));
    for (auto _ : state) {
        y.backward();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The chain as a Function of x, and the wide graph as a Function of its
// first parameter (the others read per call).
sym::Value graph_of(int shape, std::int64_t nodes, std::vector<sym::Value>& inputs) {
    inputs = shape == 0 ? std::vector<sym::Value>{sym::parameter(0.5, "x")} : parameters(1000);
    const sym::Value y = shape == 0 ? chain(inputs[0], nodes) : wide(inputs, nodes);
    inputs.resize(1);
    return y;
}

void BM_Compile(benchmark::State& state) {
    std::vector<sym::Value> inputs;
    const sym::Value y = graph_of(static_cast<int>(state.range(0)), state.range(1), inputs);
    for (auto _ : state) {
        benchmark::DoNotOptimize(sym::Function({y}, inputs));
    }
    state.SetItemsProcessed(state.iterations() * state.range(1));
}

void BM_FunctionEvaluate(benchmark::State& state) {
    std::vector<sym::Value> inputs;
    const sym::Value y = graph_of(static_cast<int>(state.range(0)), state.range(1), inputs);
    const sym::Function f({y}, inputs);
    const std::vector<sym::SmallValue> at = {sym::small_value(0.5)};
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.evaluate(at));
    }
    state.SetItemsProcessed(state.iterations() * state.range(1));
}

void BM_FunctionVjp(benchmark::State& state) {
    std::vector<sym::Value> inputs;
    const sym::Value y = graph_of(static_cast<int>(state.range(0)), state.range(1), inputs);
    const sym::Function f({y}, inputs);
    const std::vector<sym::SmallValue> at = {sym::small_value(0.5)};
    const std::vector<sym::SmallValue> seed = {sym::small_value(1.0)};
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.vjp(at, seed));
    }
    state.SetItemsProcessed(state.iterations() * state.range(1));
}

}  // namespace

BENCHMARK(BM_ChainBuild)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChainRelease)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChainEvaluate)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChainBackward)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WideEvaluate)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WideBackward)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);

// Arguments: shape (0 chain, 1 wide), nodes.
BENCHMARK(BM_Compile)->ArgsProduct({{0, 1}, {10000, 1000000}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FunctionEvaluate)->ArgsProduct({{0, 1}, {10000, 1000000}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FunctionVjp)->ArgsProduct({{0, 1}, {10000, 1000000}})->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
