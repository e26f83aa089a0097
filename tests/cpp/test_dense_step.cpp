// The dense trust-region step against direct solutions of the systems it
// stands for: the least-squares step inside the radius, the damped step on
// its boundary, the curved model's Newton step and the inverse of J^T J.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include "symbolic/detail/dense_step.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using varnel::symbolic::DenseStep;

struct Problem {
    MatrixXd jacobian;
    VectorXd residuals;
    VectorXd scale;
};

// Columns of very different sizes, as unknowns in different units give.
Problem random_problem(unsigned seed, Eigen::Index rows = 12, Eigen::Index columns = 4) {
    std::srand(seed);
    Problem p{MatrixXd::Random(rows, columns), VectorXd::Random(rows), VectorXd(columns)};
    for (Eigen::Index j = 0; j < columns; ++j) {
        p.jacobian.col(j) *= std::pow(10.0, static_cast<double>(j) - 1.0);
    }
    p.scale = p.jacobian.colwise().norm().transpose();
    return p;
}

class DenseSteps : public testing::TestWithParam<unsigned> {};

TEST_P(DenseSteps, AWideRadiusGivesTheLeastSquaresStep) {
    const Problem p = random_problem(GetParam());
    DenseStep step;
    step.factorize(p.jacobian, p.residuals);
    double damping = 0.3;
    const VectorXd s = step.step(p.scale, 1e12, damping);
    const VectorXd expected = p.jacobian.colPivHouseholderQr().solve(-p.residuals);
    EXPECT_EQ(damping, 0.0);
    EXPECT_LT((s - expected).norm(), 1e-12 * expected.norm());
    EXPECT_NEAR(step.model_norm(s), (p.jacobian * s).norm(), 1e-12 * (p.jacobian * s).norm());
    const VectorXd gradient = p.jacobian.transpose() * p.residuals;
    EXPECT_LT((step.gradient() - gradient).norm(), 1e-12 * gradient.norm());
}

TEST_P(DenseSteps, ANarrowRadiusGivesTheDampedStepOnItsBoundary) {
    const Problem p = random_problem(GetParam());
    DenseStep step;
    step.factorize(p.jacobian, p.residuals);
    const VectorXd free_step = p.jacobian.colPivHouseholderQr().solve(-p.residuals);
    const double radius = 0.05 * p.scale.cwiseProduct(free_step).norm();
    double damping = 0.0;
    const VectorXd s = step.step(p.scale, radius, damping);
    EXPECT_GT(damping, 0.0);
    EXPECT_NEAR(p.scale.cwiseProduct(s).norm(), radius, 0.1 * radius);
    // It solves (J^T J + damping D^2) p = -J^T f.
    const MatrixXd d2 = p.scale.cwiseAbs2().asDiagonal();
    const VectorXd expected =
        (p.jacobian.transpose() * p.jacobian + damping * d2).ldlt().solve(-p.jacobian.transpose() * p.residuals);
    EXPECT_LT((s - expected).norm(), 1e-9 * expected.norm());
}

TEST_P(DenseSteps, TheCurvedStepSolvesTheModelWithCurvature) {
    const Problem p = random_problem(GetParam());
    DenseStep step;
    step.factorize(p.jacobian, p.residuals);
    const MatrixXd jtj = p.jacobian.transpose() * p.jacobian;
    const VectorXd g = p.jacobian.transpose() * p.residuals;
    VectorXd s;
    ASSERT_TRUE(step.curved_step(MatrixXd::Zero(4, 4), s));
    EXPECT_LT((s - jtj.ldlt().solve(-g)).norm(), 1e-10 * s.norm());
    // A symmetric curvature that keeps the model convex.
    const MatrixXd a = MatrixXd::Random(4, 4);
    const MatrixXd curvature = 0.1 * (a + a.transpose()) * jtj.diagonal().minCoeff();
    ASSERT_TRUE(step.curved_step(curvature, s));
    EXPECT_LT((s - (jtj + curvature).ldlt().solve(-g)).norm(), 1e-9 * s.norm());
    // One that makes it indefinite has no minimum.
    EXPECT_FALSE(step.curved_step(-2.0 * jtj, s));
}

TEST_P(DenseSteps, TheNormalInverseIsTheInverseOfJTransposeJ) {
    const Problem p = random_problem(GetParam());
    DenseStep step;
    step.factorize(p.jacobian, p.residuals);
    MatrixXd inverse;
    ASSERT_EQ(step.normal_inverse(inverse), 0);
    const MatrixXd expected = (p.jacobian.transpose() * p.jacobian).inverse();
    for (Eigen::Index i = 0; i < 4; ++i) {
        for (Eigen::Index j = 0; j < 4; ++j) {
            EXPECT_NEAR(inverse(i, j), expected(i, j), 1e-9 * std::sqrt(std::fabs(expected(i, i) * expected(j, j))));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, DenseSteps, testing::Range(1u, 6u));

TEST(DenseStep, ARankDeficientJacobianStillGivesAStepButNoInverse) {
    MatrixXd jacobian(5, 3);
    jacobian << 1, 2, 0, 2, 4, 0, 3, 6, 0, 1, 2, 0, 0, 0, 0;  // column 2 is twice column 1; column 3 is 0
    const VectorXd residuals = VectorXd::LinSpaced(5, 1.0, 2.0);
    DenseStep step;
    step.factorize(jacobian, residuals);
    double damping = 0.0;
    const VectorXd s = step.step(VectorXd::Ones(3), 1e6, damping);
    EXPECT_TRUE(s.allFinite());
    EXPECT_EQ(s(2), 0.0);
    // It is a least-squares step: the residual of the linear model is
    // orthogonal to J's columns.
    EXPECT_LT((jacobian.transpose() * (residuals + jacobian * s)).norm(), 1e-12);
    MatrixXd inverse;
    EXPECT_EQ(step.normal_inverse(inverse), 2);
}

}  // namespace
