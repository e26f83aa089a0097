#include <cstdio>

#include "symbolic/symbolic.h"

int main() {
    namespace sym = varnel::symbolic;
    const sym::Value x = sym::parameter(3.0, "x");
    const sym::Value y = x * sym::sin(x) + 1.0;  // sin, * and + above the leaf x

    const sym::SmallValue value = y.evaluate();  // 3 sin 3 + 1, one lane
    y.backward();                                // adds dy/dx = sin 3 + 3 cos 3 into x's grad
    std::printf("y = %.6f, dy/dx = %.6f\n", value[0], x.grad()[0]);
}
