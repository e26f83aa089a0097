// Robust losses of the least-squares cost. Internal: the public names are
// in solve.h.
#pragma once

#include <cmath>

#include "symbolic/solve.h"

namespace varnel::symbolic {

// rho(z) and its derivative rho'(z) for z = (r / f_scale)^2, where the cost
// term of a residual r is 0.5 * f_scale^2 * rho(z).
struct LossTerms {
    double rho;
    double slope;
};

LossTerms loss_terms(Loss loss, double z);

// The weight sqrt(rho') of a residual r in the iterations' linear model:
// the exact curvature rho' + 2 rho'' z of the concave losses turns negative
// for outliers; rho' alone keeps the model convex, with the cost's gradient.
inline double row_weight(Loss loss, double f_scale, double r) {
    return std::sqrt(loss_terms(loss, r * r / (f_scale * f_scale)).slope);
}

}  // namespace varnel::symbolic
