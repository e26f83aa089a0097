#include <cstdio>

#include "symbolic/symbolic.h"

int main() {
    namespace sym = varnel::symbolic;
    const sym::Value x = sym::parameter(3.0, "x");
    const sym::Value y = x * x + 1.0;
    y.backward();
    const bool ok = y.evaluate()[0] == 10.0 && x.grad()[0] == 6.0;
    std::printf("%s\n", ok ? "consumer ok" : "consumer wrong");
    return ok ? 0 : 1;
}
