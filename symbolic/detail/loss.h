// Robust losses of the least-squares cost. Internal: the public names are
// in solve.h.
#pragma once

#include "symbolic/solve.h"

namespace varnel::symbolic {

// rho(z) and its derivative rho'(z) for z = (r / f_scale)^2, where the cost
// term of a residual r is 0.5 * f_scale^2 * rho(z).
struct LossTerms {
    double rho;
    double slope;
};

LossTerms loss_terms(Loss loss, double z);

}  // namespace varnel::symbolic
