// Runs one workload of the benchmarks a given number of times, for counting
// instructions rather than timing them: on a shared machine the count of
// N + 1 runs minus that of 1 run, divided by N and by the nodes, is a steady
// cost per node where times are not. Run: bench/cpp/instructions.sh
//
//   varnel_instruction_counts WORKLOAD SHAPE NODES REPEAT
//     WORKLOAD  build, evaluate, backward, compile, call, vjp or jacobian
//     SHAPE     chain, wide or lanes (graphs.h)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "graphs.h"
#include "symbolic/function.h"
#include "symbolic/symbolic.h"

namespace sym = varnel::symbolic;
namespace bench = varnel::bench;

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s WORKLOAD SHAPE NODES REPEAT\n", argv[0]);
        return 2;
    }
    const std::string workload = argv[1], shape = argv[2];
    const std::int64_t nodes = std::atoll(argv[3]);
    const int repeat = std::atoi(argv[4]);
    std::vector<sym::Value> inputs;
    if (shape == "chain") {
        inputs = {sym::parameter(0.5, "x")};
    } else if (shape == "wide") {
        inputs = bench::parameters(1000);
    } else {
        inputs = {sym::parameter(0.5, 0.7, 0.9, "v")};
    }
    const auto make = [&] {
        return shape == "chain" ? bench::chain(inputs[0], nodes)
               : shape == "wide" ? bench::wide(inputs, nodes)
                                 : bench::lanes(inputs[0], nodes);
    };
    const sym::Value y = make();
    inputs.resize(1);
    double sink = 0.0;
    const sym::Function f({y}, inputs);
    const std::vector<sym::SmallValue> at = {inputs[0].value()};
    const std::vector<sym::SmallValue> seed = {sym::small_value(1.0)};
    for (int r = 0; r < repeat; ++r) {
        if (workload == "build") {
            sink += static_cast<double>(make().id());
        } else if (workload == "evaluate") {
            sink += y.evaluate()[0];
        } else if (workload == "backward") {
            y.backward();
        } else if (workload == "compile") {
            sink += static_cast<double>(sym::Function({y}, inputs).instruction_count());
        } else if (workload == "call") {
            sink += f.evaluate(at)[0][0];
        } else if (workload == "vjp") {
            sink += f.vjp(at, seed)[0][0];
        } else if (workload == "jacobian") {
            sink += f.jacobian(at)[0];
        } else {
            std::fprintf(stderr, "unknown workload %s\n", workload.c_str());
            return 2;
        }
    }
    std::printf("%g\n", sink);
    return 0;
}
