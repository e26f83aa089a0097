// The elementary functions: values that are the C math library's bit for
// bit, folding that equals evaluation, derivatives against the analytic
// rules and central differences, compiled Functions that agree with eval
// and backward, and the edges of every domain.
#include <cmath>
#include <cstring>
#include <random>

#include "symbolic/elementary.h"
#include "symbolic/function.h"
#include "test_support.h"

namespace {

using sym::Function;

bool same_bits(const SmallValue& a, const SmallValue& b) {
    return a.dimension == b.dimension &&
           std::memcmp(a.lanes.data(), b.lanes.data(), sizeof(double) * static_cast<std::size_t>(a.dimension)) == 0;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Within a few units of rounding, relative to the larger magnitude.
testing::AssertionResult close(double got, double want, double rel, double abs = 0.0) {
    if (std::fabs(got - want) <= abs + rel * std::fmax(std::fabs(got), std::fabs(want))) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "got " << got << ", want " << want;
}

const SmallValue kSeed = sym::small_value(1.0, -0.5, 2.0, 0.25);

SmallValue first_lanes(const SmallValue& value, int count) {
    SmallValue result;
    result.dimension = count;
    for (int i = 0; i < count; ++i) result.lanes[i] = value.lanes[i];
    return result;
}

struct Unary {
    const char* name;
    Op op;
    Value (*build)(Value);
    double (*c_function)(double);
    double (*derivative)(double);
    double lo, hi;  // drawn from, away from any edge of the domain
};

std::ostream& operator<<(std::ostream& out, const Unary& f) { return out << f.name; }

const Unary kUnary[] = {
    {"sqrt", Op::Sqrt, sym::sqrt, [](double x) { return std::sqrt(x); },
     [](double x) { return 1.0 / (2.0 * std::sqrt(x)); }, 0.01, 100.0},
    {"exp", Op::Exp, sym::exp, [](double x) { return std::exp(x); }, [](double x) { return std::exp(x); }, -20.0, 20.0},
    {"log", Op::Log, sym::log, [](double x) { return std::log(x); }, [](double x) { return 1.0 / x; }, 0.01, 100.0},
    {"tan", Op::Tan, sym::tan, [](double x) { return std::tan(x); },
     [](double x) { return 1.0 / (std::cos(x) * std::cos(x)); }, -1.5, 1.5},
    {"asin", Op::Asin, sym::asin, [](double x) { return std::asin(x); },
     [](double x) { return 1.0 / std::sqrt(1.0 - x * x); }, -0.99, 0.99},
    {"acos", Op::Acos, sym::acos, [](double x) { return std::acos(x); },
     [](double x) { return -1.0 / std::sqrt(1.0 - x * x); }, -0.99, 0.99},
    {"atan", Op::Atan, sym::atan, [](double x) { return std::atan(x); },
     [](double x) { return 1.0 / (1.0 + x * x); }, -50.0, 50.0},
    {"sinh", Op::Sinh, sym::sinh, [](double x) { return std::sinh(x); }, [](double x) { return std::cosh(x); }, -20.0, 20.0},
    {"cosh", Op::Cosh, sym::cosh, [](double x) { return std::cosh(x); }, [](double x) { return std::sinh(x); }, -20.0, 20.0},
    {"tanh", Op::Tanh, sym::tanh, [](double x) { return std::tanh(x); },
     [](double x) { return 1.0 / (std::cosh(x) * std::cosh(x)); }, -10.0, 10.0},
    {"abs", Op::Abs, sym::abs, [](double x) { return std::fabs(x); }, [](double x) { return x > 0 ? 1.0 : -1.0; },
     -10.0, 10.0},
    {"log1p", Op::Log1p, sym::log1p, [](double x) { return std::log1p(x); }, [](double x) { return 1.0 / (1.0 + x); },
     -0.99, 100.0},
    {"expm1", Op::Expm1, sym::expm1, [](double x) { return std::expm1(x); }, [](double x) { return std::exp(x); },
     -20.0, 20.0},
    {"cbrt", Op::Cbrt, sym::cbrt, [](double x) { return std::cbrt(x); },
     [](double x) { return 1.0 / (3.0 * std::cbrt(x) * std::cbrt(x)); }, -100.0, 100.0},
};

// 1..4 lanes drawn from the function's range, never within 0.01 of 0,
// where abs and cbrt have their edges.
SmallValue draw(std::mt19937& rng, double lo, double hi, int lanes) {
    std::uniform_real_distribution<double> number(lo, hi);
    SmallValue value;
    value.dimension = lanes;
    for (int i = 0; i < lanes; ++i) {
        double x = number(rng);
        while (std::fabs(x) < 0.01) x = number(rng);
        value.lanes[i] = x;
    }
    return value;
}

class UnaryFunctions : public testing::TestWithParam<Unary> {};

TEST_P(UnaryFunctions, ValuesAreTheMathLibrarysAndFoldingIsEvaluation) {
    const Unary& f = GetParam();
    std::mt19937 rng(11);
    for (int round = 0; round < 50; ++round) {
        const SmallValue x = draw(rng, f.lo, f.hi, 1 + round % 4);
        const Value p = sym::parameter(x, "p");
        const Value y = f.build(p);
        ASSERT_EQ(y.op(), f.op);
        ASSERT_EQ(y.dimension(), x.dimension);
        ASSERT_TRUE(y.input(0).same_node(p));
        const SmallValue value = y.evaluate();
        for (int i = 0; i < x.dimension; ++i) EXPECT_TRUE(same_bits(value.lanes[i], f.c_function(x.lanes[i])));
        const Value folded = f.build(sym::constant(x));
        ASSERT_TRUE(folded.is_constant());
        EXPECT_TRUE(same_bits(folded.value(), value));
    }
}

TEST_P(UnaryFunctions, DerivativesMatchTheRuleAndCentralDifferences) {
    const Unary& f = GetParam();
    std::mt19937 rng(12);
    for (int round = 0; round < 50; ++round) {
        const int lanes = 1 + round % 4;
        const SmallValue x = draw(rng, f.lo, f.hi, lanes);
        const Value p = sym::parameter(x, "p");
        f.build(p).backward(first_lanes(kSeed, lanes));
        for (int i = 0; i < lanes; ++i) {
            const double xi = x.lanes[i], g = kSeed.lanes[i];
            EXPECT_TRUE(close(p.grad()[i], f.derivative(xi) * g, 1e-13)) << xi;
            const double h = 1e-6 * std::fmax(1.0, std::fabs(xi));
            const double numeric = (f.c_function(xi + h) - f.c_function(xi - h)) / (2.0 * h);
            EXPECT_TRUE(close(p.grad()[i], numeric * g, 1e-6, 1e-9)) << xi;
        }
    }
}

// Forward and reverse sweeps of a Function run the same rule: both give
// what backward stores, bit for bit.
TEST_P(UnaryFunctions, FunctionsAgreeWithEvalAndBackwardBitForBit) {
    const Unary& f = GetParam();
    std::mt19937 rng(13);
    for (int lanes = 1; lanes <= 4; ++lanes) {
        const SmallValue x = draw(rng, f.lo, f.hi, lanes);
        const Value p = sym::parameter(x, "p");
        const Value y = f.build(p);
        const SmallValue seed = first_lanes(kSeed, lanes);
        y.backward(seed);
        const Function once({y}, {p});
        EXPECT_TRUE(same_bits(once.evaluate({x})[0], y.evaluate()));
        EXPECT_TRUE(same_bits(once.vjp({x}, {seed})[0], p.grad()));
        p.zero_grad();
        SmallValue ones = first_lanes(sym::small_value(1.0, 1.0, 1.0, 1.0), lanes);
        y.backward(ones);
        const Function twice({y, y}, {p});  // more output lanes than input lanes: forward sweeps
        const std::vector<double> jacobian = twice.jacobian({x});
        for (int i = 0; i < lanes; ++i) {
            for (int c = 0; c < lanes; ++c) {
                for (int row : {i, lanes + i}) {
                    const double d = jacobian[static_cast<std::size_t>(row * lanes + c)];
                    EXPECT_TRUE(i == c ? same_bits(d, p.grad()[i]) : d == 0.0);
                }
            }
        }
    }
}

TEST_P(UnaryFunctions, RefuseAnEmptyOperandByName) {
    EXPECT_ERROR_NO_ID(std::invalid_argument, "unary operand is not a valid symbolic value", GetParam().build(Value{}));
}

INSTANTIATE_TEST_SUITE_P(Elementary, UnaryFunctions, testing::ValuesIn(kUnary),
                         [](const auto& info) { return std::string(info.param.name); });

struct Binary {
    const char* name;
    Op op;
    Value (*build)(Value, Value);
    double (*c_function)(double, double);
    double (*left_derivative)(double, double);
    double (*right_derivative)(double, double);
    double left_lo, left_hi, right_lo, right_hi;
};

std::ostream& operator<<(std::ostream& out, const Binary& f) { return out << f.name; }

const Binary kBinary[] = {
    {"pow", Op::Pow, [](Value a, Value b) { return sym::pow(a, b); }, [](double a, double b) { return std::pow(a, b); },
     [](double a, double b) { return b * std::pow(a, b - 1.0); },
     [](double a, double b) { return std::log(a) * std::pow(a, b); }, 0.1, 10.0, -3.0, 3.0},
    {"atan2", Op::Atan2, [](Value a, Value b) { return sym::atan2(a, b); },
     [](double a, double b) { return std::atan2(a, b); }, [](double a, double b) { return b / (a * a + b * b); },
     [](double a, double b) { return -a / (a * a + b * b); }, -10.0, 10.0, -10.0, 10.0},
    {"hypot", Op::Hypot, [](Value a, Value b) { return sym::hypot(a, b); },
     [](double a, double b) { return std::hypot(a, b); }, [](double a, double b) { return a / std::hypot(a, b); },
     [](double a, double b) { return b / std::hypot(a, b); }, -10.0, 10.0, -10.0, 10.0},
};

class BinaryFunctions : public testing::TestWithParam<Binary> {};

// Operands of equal lane counts and a one-lane operand broadcast on either
// side, as the arithmetic operators combine them.
const std::pair<int, int> kShapes[] = {{1, 1}, {3, 3}, {1, 3}, {4, 1}, {2, 2}};

TEST_P(BinaryFunctions, ValuesAreTheMathLibrarysAndFoldingIsEvaluation) {
    const Binary& f = GetParam();
    std::mt19937 rng(21);
    for (int round = 0; round < 40; ++round) {
        const auto [la, lb] = kShapes[round % 5];
        const SmallValue a = draw(rng, f.left_lo, f.left_hi, la), b = draw(rng, f.right_lo, f.right_hi, lb);
        const Value p = sym::parameter(a, "a"), q = sym::parameter(b, "b");
        const Value y = f.build(p, q);
        ASSERT_EQ(y.op(), f.op);
        ASSERT_EQ(y.dimension(), std::max(la, lb));
        ASSERT_TRUE(y.input(0).same_node(p) && y.input(1).same_node(q));
        const SmallValue value = y.evaluate();
        for (int i = 0; i < y.dimension(); ++i) {
            EXPECT_TRUE(same_bits(value.lanes[i], f.c_function(a.lanes[la == 1 ? 0 : i], b.lanes[lb == 1 ? 0 : i])));
        }
        const Value folded = f.build(sym::constant(a), sym::constant(b));
        ASSERT_TRUE(folded.is_constant());
        EXPECT_TRUE(same_bits(folded.value(), value));
    }
}

TEST_P(BinaryFunctions, DerivativesMatchTheRulesAndCentralDifferences) {
    const Binary& f = GetParam();
    std::mt19937 rng(22);
    for (int round = 0; round < 40; ++round) {
        const auto [la, lb] = kShapes[round % 5];
        const SmallValue a = draw(rng, f.left_lo, f.left_hi, la), b = draw(rng, f.right_lo, f.right_hi, lb);
        const Value p = sym::parameter(a, "a"), q = sym::parameter(b, "b");
        const int n = std::max(la, lb);
        f.build(p, q).backward(first_lanes(kSeed, n));
        // A broadcast operand receives the sum over the lanes it served.
        std::vector<double> left(static_cast<std::size_t>(la)), right(static_cast<std::size_t>(lb));
        std::vector<double> left_numeric(left.size()), right_numeric(right.size());
        for (int i = 0; i < n; ++i) {
            const int ia = la == 1 ? 0 : i, ib = lb == 1 ? 0 : i;
            const double x = a.lanes[ia], z = b.lanes[ib], g = kSeed.lanes[i];
            left[ia] += f.left_derivative(x, z) * g;
            right[ib] += f.right_derivative(x, z) * g;
            const double hx = 1e-6 * std::fmax(1.0, std::fabs(x)), hz = 1e-6 * std::fmax(1.0, std::fabs(z));
            left_numeric[ia] += (f.c_function(x + hx, z) - f.c_function(x - hx, z)) / (2.0 * hx) * g;
            right_numeric[ib] += (f.c_function(x, z + hz) - f.c_function(x, z - hz)) / (2.0 * hz) * g;
        }
        for (int i = 0; i < la; ++i) {
            EXPECT_TRUE(close(p.grad()[i], left[i], 1e-12, 1e-12));
            EXPECT_TRUE(close(p.grad()[i], left_numeric[i], 1e-6, 1e-8));
        }
        for (int i = 0; i < lb; ++i) {
            EXPECT_TRUE(close(q.grad()[i], right[i], 1e-12, 1e-12));
            EXPECT_TRUE(close(q.grad()[i], right_numeric[i], 1e-6, 1e-8));
        }
    }
}

TEST_P(BinaryFunctions, FunctionsAgreeWithEvalAndBackwardBitForBit) {
    const Binary& f = GetParam();
    std::mt19937 rng(23);
    for (const auto& [la, lb] : kShapes) {
        const SmallValue a = draw(rng, f.left_lo, f.left_hi, la), b = draw(rng, f.right_lo, f.right_hi, lb);
        const Value p = sym::parameter(a, "a"), q = sym::parameter(b, "b");
        const Value y = f.build(p, q);
        const SmallValue seed = first_lanes(kSeed, y.dimension());
        y.backward(seed);
        const Function once({y}, {p, q});
        EXPECT_TRUE(same_bits(once.evaluate({a, b})[0], y.evaluate()));
        const std::vector<SmallValue> grads = once.vjp({a, b}, {seed});
        EXPECT_TRUE(same_bits(grads[0], p.grad()));
        EXPECT_TRUE(same_bits(grads[1], q.grad()));
    }
}

// The number forms make their Constant first, as the operators' do.
TEST_P(BinaryFunctions, NumbersStandOnEitherSide) {
    const Binary& f = GetParam();
    const Value p = sym::parameter(1.5, 2.5, "p");
    const auto left_number = [&](double x, Value v) {
        return f.op == Op::Pow ? sym::pow(x, v) : f.op == Op::Atan2 ? sym::atan2(x, v) : sym::hypot(x, v);
    };
    const auto right_number = [&](Value v, double x) {
        return f.op == Op::Pow ? sym::pow(v, x) : f.op == Op::Atan2 ? sym::atan2(v, x) : sym::hypot(v, x);
    };
    const Value right = right_number(p, 2.0), left = left_number(2.0, p);
    EXPECT_TRUE(right.input(0).same_node(p) && right.input(1).is_constant());
    EXPECT_TRUE(left.input(0).is_constant() && left.input(1).same_node(p));
    EXPECT_TRUE(same_bits(right.evaluate(), f.build(p, sym::constant(2.0)).evaluate()));
    EXPECT_TRUE(same_bits(left.evaluate(), f.build(sym::constant(2.0), p).evaluate()));
    EXPECT_TRUE(right_number(sym::constant(3.0), 2.0).is_constant());
    EXPECT_ERROR_IDS(0, std::invalid_argument, kFinite, right_number(Value{}, kNaN));
    EXPECT_ERROR_IDS(1, std::invalid_argument, "left operand is not a valid symbolic value", right_number(Value{}, 1.0));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "right operand is not a valid symbolic value", f.build(p, Value{}));
    const Value v = sym::parameter(1.0, 2.0, 3.0, "v");
    EXPECT_ERROR_NO_ID(std::invalid_argument, "cannot combine symbolic values with dimensions 2 and 3", f.build(p, v));
}

INSTANTIATE_TEST_SUITE_P(Elementary, BinaryFunctions, testing::ValuesIn(kBinary),
                         [](const auto& info) { return std::string(info.param.name); });

// A lane outside the domain is NaN or infinite, and fails as any
// non-finite lane does: when folding, in eval and backward (changing no
// gradient) and in a Function, leaving nothing behind.
struct Edge {
    const char* name;
    Value (*build)(Value);
    double x;
    int ids;  // taken by a number made into a Constant before the failure
};

std::ostream& operator<<(std::ostream& out, const Edge& e) { return out << e.name; }

const Edge kOutside[] = {
    {"sqrt_of_minus_one", sym::sqrt, -1.0, 0},
    {"log_of_zero", sym::log, 0.0, 0},
    {"log_of_minus_one", sym::log, -1.0, 0},
    {"asin_of_two", sym::asin, 2.0, 0},
    {"acos_of_minus_one_and_a_half", sym::acos, -1.5, 0},
    {"pow_minus_eight_to_a_third", [](Value x) { return sym::pow(x, 1.0 / 3.0); }, -8.0, 1},
    {"pow_zero_to_minus_one", [](Value x) { return sym::pow(x, -1.0); }, 0.0, 1},
    {"log1p_of_minus_one", sym::log1p, -1.0, 0},
    {"exp_overflows", sym::exp, 710.0, 0},
    {"cosh_overflows", sym::cosh, -711.0, 0},
    {"sinh_overflows", sym::sinh, 711.0, 0},
    {"expm1_overflows", sym::expm1, 710.0, 0},
    {"hypot_overflows", [](Value x) { return sym::hypot(x, x); }, 1.5e308, 0},
};

class OutsideTheDomain : public testing::TestWithParam<Edge> {};

TEST_P(OutsideTheDomain, FailsAsAnyNonFiniteLaneAndLeavesNothingBehind) {
    const Edge& e = GetParam();
    const Value x = sym::constant(e.x);
    EXPECT_ERROR_IDS(e.ids, std::invalid_argument, kFinite, e.build(x));

    const Value p = sym::parameter(e.x, "p"), w = sym::parameter(2.0, "w");
    const Value y = e.build(p) + w * w;
    EXPECT_ERROR(std::invalid_argument, kFinite, y.evaluate());
    EXPECT_ERROR(std::invalid_argument, kFinite, y.backward());
    EXPECT_FALSE(p.has_grad() || w.has_grad());
    const Function f({y}, {p});
    EXPECT_ERROR(std::invalid_argument, kFinite, f.evaluate({sym::small_value(e.x)}));
    EXPECT_ERROR(std::invalid_argument, kFinite, f.vjp({sym::small_value(e.x)}, {sym::small_value(1.0)}));
    EXPECT_FALSE(p.has_grad() || w.has_grad());
    const double rows[] = {0.5, e.x};
    double out[2];
    EXPECT_ERROR(std::invalid_argument, "row 1: symbolic value lanes must be finite", f.map(rows, 2, 1, 1, out));
}

INSTANTIATE_TEST_SUITE_P(Elementary, OutsideTheDomain, testing::ValuesIn(kOutside),
                         [](const auto& info) { return std::string(info.param.name); });

// Only values and seeds are checked: an infinite derivative at the edge of
// a domain is stored as an overflowing contribution is, by backward and by
// vjp alike; abs and hypot have derivative 0 at their kinks.
TEST(ElementaryEdges, DerivativesAtTheEdgesOfTheDomains) {
    const struct {
        Value (*build)(Value);
        double x, grad;
    } cases[] = {
        {sym::sqrt, 0.0, kInf},   {sym::cbrt, 0.0, kInf},  {sym::asin, 1.0, kInf},
        {sym::asin, -1.0, kInf},  {sym::acos, 1.0, -kInf}, {sym::abs, 0.0, 0.0},
        {sym::abs, -0.0, 0.0},    {sym::log1p, -0.5, 2.0},
        {[](Value x) { return sym::hypot(x, x); }, 0.0, 0.0},
    };
    for (const auto& c : cases) {
        const Value p = sym::parameter(c.x, "p");
        const Value y = c.build(p);
        y.backward();
        EXPECT_TRUE(same_bits(p.grad()[0], c.grad)) << y.debug_string() << " at " << c.x << ": " << p.grad()[0];
        const Function f({y}, {p});
        EXPECT_TRUE(same_bits(f.vjp({sym::small_value(c.x)}, {sym::small_value(1.0)})[0], p.grad()));
    }
}

// A negative base takes integral exponents, and differentiates in the base;
// with a Constant exponent no sweep takes its logarithm, so a Jacobian swept
// forward stays finite. A Parameter exponent gets the NaN derivative.
TEST(ElementaryEdges, PowOfANegativeBase) {
    const Value x = sym::parameter(-2.0, "x");
    const Value square = sym::pow(x, 2.0), cube_inverse = sym::pow(x, -3.0);
    EXPECT_EQ(square.evaluate()[0], 4.0);
    EXPECT_EQ(cube_inverse.evaluate()[0], -0.125);
    square.backward();
    EXPECT_EQ(x.grad()[0], -4.0);
    x.zero_grad();
    cube_inverse.backward();
    EXPECT_EQ(x.grad()[0], -0.1875);
    const Function f({square, square}, {x});
    for (double d : f.jacobian({sym::small_value(-2.0)})) EXPECT_EQ(d, -4.0);

    const Value n = sym::parameter(2.0, "n");
    x.zero_grad();
    sym::pow(x, n).backward();
    EXPECT_EQ(x.grad()[0], -4.0);
    EXPECT_TRUE(std::isnan(n.grad()[0]));
    EXPECT_ERROR(std::invalid_argument, kFinite, sym::pow(x, sym::parameter(0.5, "h")).evaluate());
}

}  // namespace
