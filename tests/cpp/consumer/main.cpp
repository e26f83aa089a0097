#include <cmath>
#include <cstdio>

#include "symbolic/solve.h"
#include "symbolic/symbolic.h"

int main() {
    namespace sym = varnel::symbolic;
    const sym::Value x = sym::parameter(3.0, "x");
    const sym::Value y = x * x + 1.0;
    y.backward();
    bool ok = y.evaluate()[0] == 10.0 && x.grad()[0] == 6.0;
    // The solver's header needs nothing beyond varnel's own.
    const sym::SolveSummary root = sym::solve(sym::LeastSquaresProblem({x * x - 2.0}, {x}));
    ok = ok && root.success && std::fabs(root.x[0][0] - std::sqrt(2.0)) < 1e-15;
    std::printf("%s\n", ok ? "consumer ok" : "consumer wrong");
    return ok ? 0 : 1;
}
