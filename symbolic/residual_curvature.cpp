// The Dennis-Gay-Welsch update: the symmetric change of S, least in a norm
// weighed by the gradient change, that makes the new S map the step onto
// the unexplained change, after shrinking S where it overstates the
// curvature along the step (their sizing).
#include "symbolic/detail/residual_curvature.h"

#include <algorithm>
#include <cmath>

namespace varnel::symbolic {

void ResidualCurvature::update(const Eigen::VectorXd& step, const Eigen::VectorXd& change,
                               const Eigen::VectorXd& unexplained) {
    const double change_along = change.dot(step);
    // Without a positive curvature along the step the update is undefined.
    if (!(change_along > 0.0)) {
        return;
    }
    const double along = step.dot(matrix_ * step);
    if (along != 0.0) {
        matrix_ *= std::min(1.0, std::fabs(step.dot(unexplained)) / std::fabs(along));
    }
    const Eigen::VectorXd miss = unexplained - matrix_ * step;
    matrix_ += (miss * change.transpose() + change * miss.transpose()) / change_along -
               (miss.dot(step) / (change_along * change_along)) * (change * change.transpose());
}

}  // namespace varnel::symbolic
