#include <cstdio>

#include "symbolic/elementary.h"
#include "symbolic/function.h"
#include "symbolic/symbolic.h"

int main() {
    namespace sym = varnel::symbolic;
    const sym::Value x = sym::parameter(3.0, "x");
    const sym::Value y = x * x + 1.0;
    y.backward();
    // Every installed header: the elementary functions and compiled ones.
    const sym::Value r = sym::hypot(x, 4.0);
    const sym::Function f({r}, {x});
    const bool ok = y.evaluate()[0] == 10.0 && x.grad()[0] == 6.0 && f.evaluate({sym::small_value(3.0)})[0][0] == 5.0;
    std::printf("%s\n", ok ? "consumer ok" : "consumer wrong");
    return ok ? 0 : 1;
}
