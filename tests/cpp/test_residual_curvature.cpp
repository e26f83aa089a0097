// The secant estimate of the residuals' curvature: symmetric, true to the
// last step, and left alone by a step that shows no positive curvature.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include "symbolic/detail/residual_curvature.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using varnel::symbolic::ResidualCurvature;

TEST(ResidualCurvature, StartsAtZero) {
    EXPECT_TRUE(ResidualCurvature(3).matrix().isZero());
}

TEST(ResidualCurvature, AnUpdateMapsTheStepOntoTheUnexplainedChangeAndStaysSymmetric) {
    std::srand(3);
    ResidualCurvature curvature(4);
    for (int k = 0; k < 5; ++k) {
        const VectorXd step = VectorXd::Random(4);
        const VectorXd change = step + 0.1 * VectorXd::Random(4);  // positive along the step
        const VectorXd unexplained = 0.5 * VectorXd::Random(4);
        ASSERT_GT(change.dot(step), 0.0);
        curvature.update(step, change, unexplained);
        EXPECT_LT((curvature.matrix() * step - unexplained).norm(), 1e-12) << k;
        EXPECT_LT((curvature.matrix() - curvature.matrix().transpose()).norm(), 1e-12) << k;
    }
}

TEST(ResidualCurvature, LearnsAConstantCurvatureFromStepsAlongEveryDirection) {
    // With S fixed, each step's unexplained change is S times it; after steps
    // spanning the space the estimate is S itself.
    MatrixXd truth(3, 3);
    truth << 2, 0.5, 0, 0.5, 1, -0.3, 0, -0.3, 0.7;
    ResidualCurvature curvature(3);
    for (int round = 0; round < 4; ++round) {
        for (int j = 0; j < 3; ++j) {
            const VectorXd step = VectorXd::Unit(3, j) + 0.1 * VectorXd::Unit(3, (j + 1) % 3);
            curvature.update(step, 3.0 * step + truth * step, truth * step);
        }
    }
    EXPECT_LT((curvature.matrix() - truth).norm(), 1e-3);
}

TEST(ResidualCurvature, AStepWithoutPositiveCurvatureChangesNothing) {
    ResidualCurvature curvature(2);
    curvature.update(VectorXd::Unit(2, 0), VectorXd::Unit(2, 0), VectorXd::Ones(2));
    const MatrixXd before = curvature.matrix();
    curvature.update(VectorXd::Unit(2, 1), -VectorXd::Unit(2, 1), VectorXd::Ones(2));
    curvature.update(VectorXd::Unit(2, 1), VectorXd::Unit(2, 0), VectorXd::Ones(2));  // orthogonal
    EXPECT_EQ(curvature.matrix(), before);
}

}  // namespace
