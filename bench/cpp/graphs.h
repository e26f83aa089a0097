// The graphs the C++ benchmarks and instruction counts run on.
#pragma once

#include <cstdint>
#include <vector>

#include "symbolic/symbolic.h"

namespace varnel::bench {

namespace sym = varnel::symbolic;

// y = y * c + d, two nodes per step.
inline sym::Value chain(const sym::Value& x, std::int64_t nodes) {
    const sym::Value c = sym::constant(0.999);
    const sym::Value d = sym::constant(0.001);
    sym::Value y = x;
    for (std::int64_t i = 0; i < nodes / 2; ++i) {
        y = y * c + d;
    }
    return y;
}

// A pairwise sum of products of parameters: wide and shallow.
inline sym::Value wide(const std::vector<sym::Value>& params, std::int64_t nodes) {
    std::vector<sym::Value> level;
    for (std::int64_t i = 0; i < nodes / 2; ++i) {
        const auto n = static_cast<std::size_t>(i);
        level.push_back(params[n % params.size()] * params[(n * 7 + 3) % params.size()]);
    }
    while (level.size() > 1) {
        std::vector<sym::Value> next;
        for (std::size_t i = 0; i + 1 < level.size(); i += 2) {
            next.push_back(level[i] + level[i + 1]);
        }
        if (level.size() % 2 == 1) {
            next.push_back(level.back());
        }
        level = std::move(next);
    }
    return level.front();
}

// A chain over three lanes through sine, cosine, a constant vector and a
// division, summed to one lane: the operators run lane by lane.
inline sym::Value lanes(const sym::Value& v, std::int64_t nodes) {
    const sym::Value c = sym::constant(0.5, 0.25, 0.125);
    sym::Value y = v;
    for (std::int64_t i = 0; i < nodes / 5; ++i) {
        y = sym::sin(y * c) / (sym::cos(y) + 2.0);
    }
    return sym::component(y, 0) + sym::component(y, 1) + sym::component(y, 2);
}

inline std::vector<sym::Value> parameters(int count) {
    std::vector<sym::Value> params;
    for (int i = 0; i < count; ++i) {
        params.push_back(sym::parameter(0.5 + 0.001 * i, "p"));
    }
    return params;
}

}  // namespace varnel::bench
