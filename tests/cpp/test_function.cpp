// Compiled functions give eval's values and backward's gradients bit for
// bit, refuse bad graphs and arguments with eval's and backward's messages
// where they overlap, and change nothing when they fail.
#include <cmath>
#include <cstring>
#include <atomic>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include "symbolic/detail/block_passes.h"
#include "symbolic/elementary.h"
#include "symbolic/function.h"
#include "test_support.h"

namespace {

using sym::Function;

bool same_bits(const SmallValue& a, const SmallValue& b) {
    return a.dimension == b.dimension &&
           std::memcmp(a.lanes.data(), b.lanes.data(), sizeof(double) * static_cast<std::size_t>(a.dimension)) == 0;
}

// A random graph over Parameters of one to three lanes, using every
// operator, broadcasting and shared operands; its values stay bounded and
// inside every function's domain. `packed` makes the vectors of one-lane
// Parameters, which are then the parameters.
struct RandomGraph {
    std::vector<Value> parameters;
    Value output;

    explicit RandomGraph(unsigned seed, int size = 60, bool packed = false) {
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        std::uniform_real_distribution<double> number(-2.0, 2.0);
        std::vector<Value> pool;
        if (packed) {
            for (const char* name : {"a", "b", "v0", "v1", "v2", "w0", "w1"}) {
                parameters.push_back(sym::parameter(number(rng), name));
            }
            const auto& p = parameters;
            pool = {p[0], p[1], sym::vec3(p[2], p[3], p[4]), sym::vec2(p[5], p[6])};
        } else {
            parameters = {sym::parameter(number(rng), "a"), sym::parameter(number(rng), "b"),
                          sym::parameter({number(rng), number(rng), number(rng)}, "v"),
                          sym::parameter({number(rng), number(rng)}, "w")};
            pool = parameters;
        }
        pool.push_back(sym::constant(0.5, -1.5, 2.0));
        auto with_dimension = [&](int dimension) {
            for (int tries = 0;; ++tries) {
                const Value& v = pool[static_cast<std::size_t>(pick(static_cast<int>(pool.size())))];
                if (v.dimension() == dimension || v.dimension() == 1 || tries > 50) return v;
            }
        };
        auto scalar = [&] { return sym::component(pool[static_cast<std::size_t>(pick(static_cast<int>(pool.size())))], 0); };
        for (int i = 0; i < size; ++i) {
            const Value a = pool[static_cast<std::size_t>(pick(static_cast<int>(pool.size())))];
            const Value b = with_dimension(a.dimension());
            const bool fits = a.dimension() == b.dimension() || a.dimension() == 1 || b.dimension() == 1;
            Value made;
            switch (pick(25)) {
                case 0: made = fits ? a + b : -a; break;
                case 1: made = fits ? a - b : sym::sin(a); break;
                case 2: made = fits ? a * sym::sin(b) : sym::cos(a); break;
                case 3: made = fits ? a / (sym::cos(b) + 2.0) : -a; break;
                case 4: made = sym::sin(a); break;
                case 5: made = sym::cos(a); break;
                case 6: made = -a; break;
                case 7: made = sym::component(a, pick(a.dimension())); break;
                case 8: made = sym::vec3(scalar(), scalar(), scalar()); break;
                // The elementary functions, kept inside their domains.
                case 9: made = sym::sqrt(a * a + 1.0); break;
                case 10: made = sym::exp(sym::sin(a)); break;
                case 11: made = sym::log(a * a + 1.0); break;
                case 12: made = sym::tan(sym::sin(a)); break;
                case 13: made = sym::asin(sym::sin(a) * 0.5) + sym::acos(sym::cos(a) * 0.5); break;
                case 14: made = sym::atan(a); break;
                case 15: made = sym::sinh(sym::sin(a)) - sym::cosh(sym::cos(a)); break;
                case 16: made = sym::tanh(a); break;
                case 17: made = sym::abs(a); break;
                case 18: made = fits ? sym::pow(a * a + 1.0, sym::sin(b)) : sym::pow(sym::sin(a), 2.0); break;
                case 19: made = sym::pow(sym::cos(a), 3.0); break;
                case 20: made = fits ? sym::atan2(a, b) : sym::atan2(1.0, a); break;
                case 21: made = fits ? sym::hypot(a, b) : sym::hypot(a, 0.5); break;
                case 22: made = sym::log1p(a * a); break;
                case 23: made = sym::expm1(sym::sin(a)); break;
                default: made = sym::cbrt(a); break;
            }
            pool.push_back(made);
        }
        output = pool.back();
    }
};

SmallValue seed_for(int dimension) {
    std::vector<double> lanes = {1.0, -0.5, 2.0, 0.25};
    lanes.resize(static_cast<std::size_t>(dimension));
    return lanes_of(lanes);
}

std::vector<SmallValue> values_of(const std::vector<Value>& leaves) {
    std::vector<SmallValue> values;
    for (const Value& leaf : leaves) values.push_back(leaf.value());
    return values;
}

class FunctionRandomGraphs : public testing::TestWithParam<unsigned> {};

TEST_P(FunctionRandomGraphs, EvaluateIsEvalAndVjpIsBackwardBitForBit) {
    const RandomGraph g(GetParam());
    const SmallValue seed = seed_for(g.output.dimension());
    for (const Value& p : g.parameters) p.zero_grad();
    g.output.backward(seed);
    std::vector<SmallValue> backward_grads;
    for (const Value& p : g.parameters) backward_grads.push_back(p.has_grad() ? p.grad() : lanes_of({}));

    // Every Parameter an input: vjp returns what backward stored, and writes nothing.
    const Function all_inputs({g.output}, g.parameters);
    EXPECT_TRUE(same_bits(all_inputs.evaluate(values_of(g.parameters))[0], g.output.evaluate()));
    const std::vector<SmallValue> returned = all_inputs.vjp(values_of(g.parameters), {seed});
    for (std::size_t k = 0; k < g.parameters.size(); ++k) {
        if (backward_grads[k].dimension == 0) {  // not below the output
            EXPECT_LANES(returned[k], std::vector<double>(static_cast<std::size_t>(g.parameters[k].dimension()), 0.0));
        } else {
            EXPECT_TRUE(same_bits(returned[k], backward_grads[k])) << k;
        }
        EXPECT_TRUE(same_bits(g.parameters[k].has_grad() ? g.parameters[k].grad() : lanes_of({}), backward_grads[k]));
    }

    // No inputs: vjp adds into the Parameters' grads exactly as backward does.
    for (const Value& p : g.parameters) p.zero_grad();
    const Function no_inputs({g.output}, {});
    EXPECT_TRUE(no_inputs.vjp({}, {seed}).empty());
    for (std::size_t k = 0; k < g.parameters.size(); ++k) {
        EXPECT_TRUE(same_bits(g.parameters[k].has_grad() ? g.parameters[k].grad() : lanes_of({}), backward_grads[k]));
    }
}

TEST_P(FunctionRandomGraphs, JacobianSweepsAgreeWithVjpAndFiniteDifferences) {
    const RandomGraph g(GetParam());
    const Value sum = sym::component(g.output, 0) + sym::component(g.output, g.output.dimension() - 1);
    // Two outputs of 1 + dim lanes against 1 + 1 + 3 + 2 input lanes, and a
    // single scalar output: the first is swept forward, the second in reverse.
    for (const std::vector<Value>& outputs : {std::vector<Value>{g.output, sum, g.output, sum},
                                              std::vector<Value>{sum}}) {
        const Function f(outputs, g.parameters);
        const std::vector<SmallValue> x = values_of(g.parameters);
        const std::vector<double> jacobian = f.jacobian(x);
        const auto columns = static_cast<std::size_t>(f.input_lanes());
        ASSERT_EQ(jacobian.size(), static_cast<std::size_t>(f.output_lanes()) * columns);
        std::size_t row = 0;
        for (std::size_t o = 0; o < outputs.size(); ++o) {
            for (int lane = 0; lane < outputs[o].dimension(); ++lane, ++row) {
                std::vector<SmallValue> seeds;
                for (std::size_t k = 0; k < outputs.size(); ++k) {
                    std::vector<double> s(static_cast<std::size_t>(outputs[k].dimension()), 0.0);
                    if (k == o) s[static_cast<std::size_t>(lane)] = 1.0;
                    seeds.push_back(lanes_of(s));
                }
                const std::vector<SmallValue> grads = f.vjp(x, seeds);
                std::size_t column = 0;
                for (std::size_t k = 0; k < grads.size(); ++k) {
                    for (int i = 0; i < grads[k].dimension; ++i, ++column) {
                        std::vector<SmallValue> up = x, down = x;
                        up[k].lanes[static_cast<std::size_t>(i)] += 1e-6;
                        down[k].lanes[static_cast<std::size_t>(i)] -= 1e-6;
                        const double numeric = (f.evaluate(up)[o].lanes[static_cast<std::size_t>(lane)] -
                                                f.evaluate(down)[o].lanes[static_cast<std::size_t>(lane)]) / 2e-6;
                        const double entry = jacobian[row * columns + column];
                        EXPECT_NEAR(entry, grads[k].lanes[static_cast<std::size_t>(i)], 1e-12 * (1 + std::fabs(entry)));
                        EXPECT_NEAR(entry, numeric, 1e-5 * (1 + std::fabs(entry)));
                    }
                }
            }
        }
    }
}


// Four outputs against seven input lanes is swept in reverse, one scalar
// output against them too; the forward sweep takes more outputs than
// input lanes. Either way the values and the Jacobian are those of
// evaluate and jacobian, bit for bit.
TEST_P(FunctionRandomGraphs, ValueAndJacobianIsEvaluateAndJacobianBitForBit) {
    const RandomGraph g(GetParam());
    const Value sum = sym::component(g.output, 0) + sym::component(g.output, g.output.dimension() - 1);
    for (const std::vector<Value>& outputs :
         {std::vector<Value>{g.output, sum, g.output, sum}, std::vector<Value>{sum},
          std::vector<Value>{g.output, sum, sym::sin(sum), g.output, sum, g.output}}) {
        for (const std::vector<Value>& inputs : {g.parameters, std::vector<Value>{g.parameters[0]}}) {
            const Function f(outputs, inputs);
            const std::vector<SmallValue> x = values_of(inputs);
            std::vector<double> values(static_cast<std::size_t>(f.output_lanes()), -1.0);
            std::vector<double> jacobian(values.size() * static_cast<std::size_t>(f.input_lanes()), -1.0);
            f.value_and_jacobian(x, values.data(), jacobian.data());
            std::vector<double> expected;
            for (const SmallValue& value : f.evaluate(x)) {
                expected.insert(expected.end(), value.lanes.begin(), value.lanes.begin() + value.dimension);
            }
            EXPECT_EQ(std::memcmp(values.data(), expected.data(), values.size() * sizeof(double)), 0);
            const std::vector<double> alone = f.jacobian(x);
            EXPECT_EQ(std::memcmp(jacobian.data(), alone.data(), alone.size() * sizeof(double)), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FunctionRandomGraphs, testing::Range(1u, 21u));

TEST(FunctionTest, ReadsParametersAtEveryCallAndBakesConstantsIn) {
    const Value x = sym::undefined(1, "x");
    const Value p = sym::parameter(2.0, "p");
    const Function f({x * p + 1.0, p}, {x});
    EXPECT_LANES(f.evaluate({sym::small_value(3.0)})[0], {7.0});
    p.set_value(sym::small_value(-1.0));
    EXPECT_LANES(f.evaluate({sym::small_value(3.0)})[0], {-2.0});
    EXPECT_LANES(f.evaluate({sym::small_value(3.0)})[1], {-1.0});
    EXPECT_EQ(f.input_lanes(), 1);
    EXPECT_EQ(f.output_lanes(), 2);
}

TEST(FunctionTest, MakesNoNodeAndKeepsTheGraphAlive) {
    const Value x = sym::parameter(1.0, 2.0, 3.0, "x");
    std::uint64_t before = next_id();
    const Function f = [&] {
        const Value y = sym::sin(x) * x;  // dropped by the caller
        const Value last = sym::component(y, 2);
        before = next_id();
        return Function({y, last}, {x});
    }();
    const std::vector<SmallValue> grads = f.vjp({sym::small_value(0.0, 1.0, 2.0)},
                                                {sym::small_value(1.0, 1.0, 1.0), sym::small_value(1.0)});
    (void)f.jacobian({sym::small_value(0.0, 1.0, 2.0)});
    const double in[2 * 3] = {0, 1, 2, 3, 4, 5};
    double out[2 * 4];
    f.map(in, 2, 3, 1, out);
    EXPECT_EQ(next_id(), before + 1);
    EXPECT_LANES(grads[0], {0.0, std::sin(1.0) + std::cos(1.0), 2 * (std::sin(2.0) + 2 * std::cos(2.0))});
    EXPECT_EQ(out[4], 3 * std::sin(3.0));
    EXPECT_EQ(out[7], 5 * std::sin(5.0));
    EXPECT_EQ(out[3], out[2]);
    EXPECT_FALSE(x.has_grad());  // an input: its gradient is returned, not stored
}

TEST(FunctionTest, MapReadsStridedRowsAndNamesTheFailingRow) {
    const Value x = sym::undefined(1, "x");
    const Value y = sym::undefined(1, "y");
    const Function f({x / y}, {x, y});
    // Column-major rows: lane k of row r at r + 3k.
    const double in[6] = {1, 2, 3, 2, 0, 4};
    double out[3] = {0, 0, 0};
    EXPECT_ERROR(std::invalid_argument, "row 1: symbolic value lanes must be finite", f.map(in, 3, 1, 3, out));
    EXPECT_EQ(out[0], 0.5);
    const double good[6] = {1, 2, 3, 2, 8, 4};
    f.map(good, 3, 1, 3, out);
    EXPECT_EQ(out[1], 0.25);
    EXPECT_EQ(out[2], 0.75);
    const double nan_row[2] = {1, kNaN};
    EXPECT_ERROR(std::invalid_argument, "row 0: symbolic value lanes must be finite", f.map(nan_row, 1, 2, 1, out));
}

// A buffer from outside may hold its doubles at any address: under the
// undefined-behaviour sanitizer a misaligned load would stop the test.
TEST(FunctionTest, MapReadsDoublesAtAnyAddress) {
    const Value x = sym::undefined(1, "x");
    const Value y = sym::undefined(2, "y");
    const Function f({x * y}, {x, y});
    const double rows[2][3] = {{1.5, 2.0, -4.0}, {-0.5, 8.0, 3.0}};
    for (std::size_t offset = 1; offset < sizeof(double); ++offset) {
        alignas(double) unsigned char bytes[sizeof rows + sizeof(double)];
        std::memcpy(bytes + offset, rows, sizeof rows);
        double out[2 * 2];
        f.map(bytes + offset, 2, 3, 1, out);
        EXPECT_EQ(out[0], 3.0);
        EXPECT_EQ(out[1], -6.0);
        EXPECT_EQ(out[2], -4.0);
        EXPECT_EQ(out[3], -1.5);
    }
}

TEST(FunctionTest, RefusesBadGraphsWhenMade) {
    const Value p = sym::parameter(1.0, "p");
    const Value u = sym::undefined(2, "u");
    const Value c = sym::constant(3.0);
    const Value square = p * p;
    const Value product = p * u;
    const Value lane = sym::component(u, 1);
    EXPECT_ERROR_NO_ID(std::invalid_argument, "function needs at least one output", Function({}, {p}));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "function output is not a valid symbolic value", Function({p, Value{}}, {}));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "function input is not a valid symbolic value", Function({p}, {Value{}}));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "function inputs must be Undefined or Parameter values",
                       Function({p}, {c}));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "function inputs must be Undefined or Parameter values",
                       Function({square}, {square}));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "function input is listed twice", Function({p}, {p, u, p}));
    // Which leaf is missing: by its name, shown as text, or else by its id.
    const std::string not_input = std::string(kUndefined) + ": the Undefined ";
    EXPECT_ERROR_NO_ID(std::logic_error, not_input + "'u' is not an input of the function",
                       Function({product}, {p}));
    EXPECT_ERROR_NO_ID(std::logic_error, not_input + "'u' is not an input of the function", Function({p, lane}, {}));
    const Value unnamed = sym::undefined(1, "");
    const Value unnamed_product = p * unnamed;
    EXPECT_ERROR_NO_ID(std::logic_error,
                       not_input + "#" + std::to_string(unnamed.id()) + " is not an input of the function",
                       Function({unnamed_product}, {p}));
    const Value odd = sym::undefined(1, "a\\b\n\xce\xb1'");
    const Value odd_sum = odd + 1.0;
    EXPECT_ERROR_NO_ID(std::logic_error, not_input + "'a\\x5cb\\x0a\\xce\\xb1'' is not an input of the function",
                       Function({odd_sum}, {}));
    // An Undefined that is an input, or not below any output, is fine.
    EXPECT_LANES(Function({product}, {u}).evaluate({sym::small_value(2.0, 3.0)})[0], {2.0, 3.0});
    EXPECT_LANES(Function({p}, {u}).evaluate({sym::small_value(2.0, 3.0)})[0], {1.0});
}

TEST(FunctionTest, RefusesBadArgumentsAndNonFiniteLanes) {
    const Value x = sym::undefined(2, "x");
    const Value p = sym::parameter(1.0, "p");
    const Function f({x / p, p * 2.0}, {x});
    const std::vector<SmallValue> good = {sym::small_value(1.0, 2.0)};
    const std::vector<SmallValue> seeds = {sym::small_value(1.0, 1.0), sym::small_value(1.0)};
    for (const auto& call : std::vector<std::function<void(const std::vector<SmallValue>&)>>{
             [&](const auto& in) { f.evaluate(in); }, [&](const auto& in) { f.vjp(in, seeds); },
             [&](const auto& in) { f.jacobian(in); }}) {
        EXPECT_ERROR(std::invalid_argument, "function expects 1 input value, got 0", call({}));
        EXPECT_ERROR(std::invalid_argument, "function input 0 has dimension 1, expected 2", call({sym::small_value(1.0)}));
        EXPECT_ERROR(std::invalid_argument, kFinite, call({lanes_of({1.0, kNaN})}));
        EXPECT_ERROR(std::invalid_argument, kDim, call({lanes_of({})}));
    }
    EXPECT_ERROR(std::invalid_argument, "function expects 2 seeds, got 1", f.vjp(good, {sym::small_value(1.0, 1.0)}));
    EXPECT_ERROR(std::invalid_argument, "function expects 1 seed, got 2",
                 Function({p * 2.0}, {x}).vjp(good, {sym::small_value(1.0), sym::small_value(1.0)}));
    EXPECT_ERROR(std::invalid_argument, "function expects 2 input values, got 1",
                 Function({p * 2.0}, {x, sym::undefined(1, "y")}).evaluate(good));
    EXPECT_ERROR(std::invalid_argument, "backward seed dimension does not match output dimension",
                 f.vjp(good, {sym::small_value(1.0), sym::small_value(1.0)}));
    EXPECT_ERROR(std::invalid_argument, kFinite, f.vjp(good, {sym::small_value(1.0, 1.0), lanes_of({kInf})}));

    // A lane that becomes infinite fails the call and changes no gradient.
    f.vjp(good, seeds);
    ASSERT_TRUE(p.has_grad());
    const SmallValue grad = p.grad();
    p.set_value(sym::small_value(0.0));
    EXPECT_ERROR(std::invalid_argument, kFinite, f.evaluate(good));
    EXPECT_ERROR(std::invalid_argument, kFinite, f.vjp(good, seeds));
    EXPECT_ERROR(std::invalid_argument, kFinite, f.jacobian(good));
    EXPECT_TRUE(same_bits(p.grad(), grad));
}

TEST(FunctionTest, CompilesAndRunsADeepChain) {
    const Value x = sym::parameter(0.1, "x");
    const Value c = sym::parameter(0.5, "c");
    Value y = x;
    for (int i = 0; i < 300000; ++i) y = y * c + 0.25;
    const Function f({y}, {x, c});
    EXPECT_TRUE(same_bits(f.evaluate({x.value(), c.value()})[0], y.evaluate()));
    y.backward();
    EXPECT_TRUE(same_bits(f.vjp({x.value(), c.value()}, {sym::small_value(1.0)})[1], c.grad()));
}

// Rows of the random graph's Parameter values, in [-2, 2] like theirs.
std::vector<double> random_rows(std::size_t count, int lanes, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> number(-2.0, 2.0);
    std::vector<double> rows(count * static_cast<std::size_t>(lanes));
    for (double& lane : rows) lane = number(rng);
    return rows;
}

std::vector<SmallValue> row_values(const Function& f, const double* row) {
    std::vector<SmallValue> values;
    for (const Value& input : f.inputs()) {
        SmallValue value;
        value.dimension = input.dimension();
        std::copy(row, row + value.dimension, value.lanes.begin());
        row += value.dimension;
        values.push_back(value);
    }
    return values;
}

std::vector<SmallValue> row_seeds(const Function& f, const double* lanes) {
    std::vector<SmallValue> seeds;
    for (const Value& output : f.outputs()) {
        SmallValue seed;
        seed.dimension = output.dimension();
        std::copy(lanes, lanes + seed.dimension, seed.lanes.begin());
        lanes += seed.dimension;
        seeds.push_back(seed);
    }
    return seeds;
}

// Every build of the block passes this processor runs, the one calls take
// by default last, so a test that chose another leaves that one chosen.
std::vector<const sym::detail::BlockPasses*> block_pass_builds() {
    std::vector<const sym::detail::BlockPasses*> builds = {&sym::detail::generic_block_passes()};
    if (sym::detail::avx2_block_passes() != nullptr) builds.push_back(sym::detail::avx2_block_passes());
    if (builds.back() != &sym::detail::block_passes()) std::swap(builds.front(), builds.back());
    return builds;
}

// Calls over rows run in blocks, and on several threads, and still give
// each row what a call of that row alone gives, to the bit, with either
// build of the block passes; a Function whose outputs outnumber its
// inputs' lanes is swept forward, the other way round in reverse.
TEST_P(FunctionRandomGraphs, MappedRowsAreRowByRowCallsBitForBit) {
    const RandomGraph g(GetParam());
    const Value sum = sym::component(g.output, 0) + sym::component(g.output, g.output.dimension() - 1);
    for (const sym::detail::BlockPasses* build : block_pass_builds()) {
        SCOPED_TRACE(build == &sym::detail::generic_block_passes() ? "generic passes" : "AVX2 passes");
        sym::detail::choose_block_passes(*build);
        for (const std::vector<Value>& outputs : {std::vector<Value>{g.output, sum, g.output, sum},
                                                  std::vector<Value>{sum}}) {
            const Function f(outputs, g.parameters);
            const auto n = static_cast<std::size_t>(f.input_lanes());
            const auto m = static_cast<std::size_t>(f.output_lanes());
            constexpr std::size_t kRows = 700;  // several blocks of every kind
            const std::vector<double> rows = random_rows(kRows, f.input_lanes(), GetParam());
            const std::vector<double> seeds = random_rows(kRows, f.output_lanes(), GetParam() + 100);
            for (const unsigned threads : {1u, 3u}) {
                SCOPED_TRACE(threads);
                sym::RowOptions options;
                options.threads = threads;
                std::vector<double> values(kRows * m), gradients(kRows * n), shared(kRows * n), jacobians(kRows * m * n);
                ASSERT_TRUE(f.map(rows.data(), kRows, static_cast<std::ptrdiff_t>(n), 1, values.data(), options));
                ASSERT_TRUE(f.map_vjp(rows.data(), kRows, static_cast<std::ptrdiff_t>(n), 1, seeds.data(),
                                      static_cast<std::ptrdiff_t>(m), gradients.data(), false, options));
                ASSERT_TRUE(f.map_vjp(rows.data(), kRows, static_cast<std::ptrdiff_t>(n), 1, seeds.data(), 0,
                                      shared.data(), false, options));
                ASSERT_TRUE(f.map_jacobian(rows.data(), kRows, static_cast<std::ptrdiff_t>(n), 1, jacobians.data(), options));
                for (std::size_t r = 0; r < kRows; r += 7) {
                    const std::vector<SmallValue> x = row_values(f, rows.data() + r * n);
                    std::vector<double> expected;
                    for (const SmallValue& v : f.evaluate(x)) expected.insert(expected.end(), v.lanes.begin(), v.lanes.begin() + v.dimension);
                    EXPECT_EQ(0, std::memcmp(expected.data(), values.data() + r * m, m * sizeof(double))) << r;
                    for (const auto& [seed, got] : {std::pair{seeds.data() + r * m, gradients.data()},
                                                    std::pair{seeds.data(), shared.data()}}) {
                        expected.clear();
                        for (const SmallValue& v : f.vjp(x, row_seeds(f, seed))) {
                            expected.insert(expected.end(), v.lanes.begin(), v.lanes.begin() + v.dimension);
                        }
                        EXPECT_EQ(0, std::memcmp(expected.data(), got + r * n, n * sizeof(double))) << r;
                    }
                    const std::vector<double> jacobian = f.jacobian(x);
                    EXPECT_EQ(0, std::memcmp(jacobian.data(), jacobians.data() + r * m * n, m * n * sizeof(double))) << r;
                }
            }
        }
    }
}

// Forward sweeps carry several directions at once. Over every operator,
// broadcasts, lane picks and packs, each column of the Jacobian is what a
// sweep along its input alone gives, bit for bit, for every count of input
// lanes (one sweep, or several of up to eight directions each), and over
// blocks of rows as for one row.
TEST_P(FunctionRandomGraphs, ForwardSweepsOfManyDirectionsAreOneDirectionSweepsBitForBit) {
    const RandomGraph g(GetParam(), 60, true);
    const RandomGraph h(GetParam() + 1000, 60, true);
    std::vector<Value> inputs = g.parameters;
    inputs.insert(inputs.end(), h.parameters.begin(), h.parameters.end());
    std::vector<Value> outputs;
    for (int k = 0; k < 6; ++k) {
        outputs.insert(outputs.end(), {g.output, sym::component(g.output, 0) * sym::component(h.output, 0), h.output});
    }
    const std::vector<SmallValue> x = values_of(inputs);
    std::vector<std::vector<double>> alone;
    for (std::size_t c = 0; c < inputs.size(); ++c) {
        alone.push_back(Function(outputs, {inputs[c]}).jacobian({x[c]}));
    }
    for (std::size_t n = 1; n <= inputs.size(); ++n) {
        SCOPED_TRACE(n);
        const Function f(outputs, std::vector<Value>(inputs.begin(), inputs.begin() + static_cast<std::ptrdiff_t>(n)));
        ASSERT_GT(f.output_lanes(), f.input_lanes());
        const std::vector<SmallValue> first(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n));
        const std::vector<double> jacobian = f.jacobian(first);
        for (std::size_t row = 0; row < alone[0].size(); ++row) {
            for (std::size_t c = 0; c < n; ++c) {
                EXPECT_EQ(0, std::memcmp(&jacobian[row * n + c], &alone[c][row], sizeof(double))) << row << ", " << c;
            }
        }
    }
    // Every input: two sweeps (8 + 6 directions) over rows in several blocks.
    const Function f(outputs, inputs);
    const auto n = static_cast<std::size_t>(f.input_lanes());
    const auto size = static_cast<std::size_t>(f.output_lanes()) * n;
    constexpr std::size_t kRows = 300;
    const std::vector<double> rows = random_rows(kRows, f.input_lanes(), GetParam());
    std::vector<double> jacobians(kRows * size);
    ASSERT_TRUE(f.map_jacobian(rows.data(), kRows, static_cast<std::ptrdiff_t>(n), 1, jacobians.data()));
    for (std::size_t r = 0; r < kRows; r += 13) {
        const std::vector<double> jacobian = f.jacobian(row_values(f, rows.data() + r * n));
        EXPECT_EQ(0, std::memcmp(jacobian.data(), jacobians.data() + r * size, size * sizeof(double))) << r;
    }
}

// A vjp over rows adds the sum of the rows' gradients into the Parameters
// that are not inputs, the same bits on any thread count, and for one row
// exactly what vjp adds.
TEST_P(FunctionRandomGraphs, MappedVjpAccumulatesTheSameSumOnAnyThreadCount) {
    const RandomGraph g(GetParam());
    const std::vector<Value> inputs = {g.parameters[0], g.parameters[2]};  // a and v; b and w are read
    const Function f({g.output}, inputs);
    const std::vector<double> seed(static_cast<std::size_t>(f.output_lanes()), 0.75);
    constexpr std::size_t kRows = 1000;
    const std::vector<double> rows = random_rows(kRows, f.input_lanes(), GetParam());
    std::vector<double> gradients(kRows * static_cast<std::size_t>(f.input_lanes()));
    auto grads_of = [&] {
        std::vector<SmallValue> grads;
        for (const Value& p : g.parameters) grads.push_back(p.has_grad() ? p.grad() : lanes_of({}));
        return grads;
    };
    std::vector<SmallValue> first;
    for (const unsigned threads : {1u, 2u, 4u}) {
        for (const Value& p : g.parameters) p.zero_grad();
        sym::RowOptions options;
        options.threads = threads;
        ASSERT_TRUE(f.map_vjp(rows.data(), kRows, f.input_lanes(), 1, seed.data(), 0, gradients.data(), true, options));
        const std::vector<SmallValue> grads = grads_of();
        if (first.empty()) first = grads;
        for (std::size_t k = 0; k < grads.size(); ++k) EXPECT_TRUE(same_bits(grads[k], first[k])) << threads << " " << k;
    }
    // The sum against row-by-row vjp calls, added in another order.
    for (const Value& p : g.parameters) p.zero_grad();
    for (std::size_t r = 0; r < kRows; ++r) {
        f.vjp(row_values(f, rows.data() + r * static_cast<std::size_t>(f.input_lanes())), row_seeds(f, seed.data()));
    }
    const std::vector<SmallValue> summed = grads_of();
    for (const std::size_t k : {1, 3}) {
        ASSERT_EQ(summed[k].dimension, first[k].dimension);
        for (int i = 0; i < summed[k].dimension; ++i) {
            EXPECT_NEAR(first[k].lanes[i], summed[k].lanes[i], 1e-9 * (1 + std::fabs(summed[k].lanes[i])));
        }
    }
    // One row: exactly vjp.
    for (const Value& p : g.parameters) p.zero_grad();
    f.vjp(row_values(f, rows.data()), row_seeds(f, seed.data()));
    const std::vector<SmallValue> one = grads_of();
    for (const Value& p : g.parameters) p.zero_grad();
    ASSERT_TRUE(f.map_vjp(rows.data(), 1, f.input_lanes(), 1, seed.data(), 0, gradients.data(), true));
    const std::vector<SmallValue> mapped = grads_of();
    for (std::size_t k = 0; k < one.size(); ++k) EXPECT_TRUE(same_bits(one[k], mapped[k])) << k;
}

// The first failing row is named whatever the thread count and wherever
// the blocks fall; a failed or stopped accumulation adds nothing.
TEST(FunctionRows, NameTheFirstFailingRowAndAddNothingWhenTheyFail) {
    const Value x = sym::undefined(1, "x");
    const Value p = sym::parameter(2.0, "p");
    const Function f({sym::sin(p / x)}, {x});
    std::vector<double> rows(5000, 1.0);
    rows[4321] = 0.0;  // divides by zero
    rows[3000] = kNaN;  // an input that is not finite
    std::vector<double> seeds(5000, 1.0);
    seeds[2000] = kInf;
    std::vector<double> out(5000);
    for (const unsigned threads : {1u, 2u, 5u}) {
        SCOPED_TRACE(threads);
        sym::RowOptions options;
        options.threads = threads;
        p.zero_grad();
        EXPECT_ERROR(std::invalid_argument, std::string("row 3000: ") + kFinite,
                     f.map(rows.data(), rows.size(), 1, 1, out.data(), options));
        EXPECT_ERROR(std::invalid_argument, std::string("row 3000: ") + kFinite,
                     f.map_jacobian(rows.data(), rows.size(), 1, 1, out.data(), options));
        EXPECT_ERROR(std::invalid_argument, std::string("row 2000: ") + kFinite,
                     f.map_vjp(rows.data(), rows.size(), 1, 1, seeds.data(), 1, out.data(), true, options));
        EXPECT_ERROR(std::invalid_argument, std::string("row 1320: ") + kFinite,
                     f.map_vjp(rows.data() + 3001, rows.size() - 3001, 1, 1, seeds.data(), 0, out.data(), true,
                               options));
        EXPECT_FALSE(p.has_grad());
        // Stopped at once: nothing added.
        options.interrupted = [] { return true; };
        EXPECT_FALSE(f.map_vjp(rows.data(), 3000, 1, 1, seeds.data(), 0, out.data(), true, options));
        EXPECT_FALSE(p.has_grad());
    }
}

// Asked between blocks on the calling thread, the question stops a long call
// on every thread; an empty call runs nothing and asks nothing.
TEST(FunctionRows, StopWhenInterruptedBetweenBlocks) {
    const Value x = sym::undefined(1, "x");
    Value y = x;
    for (int i = 0; i < 200; ++i) y = sym::sin(y * 1.0001 + 0.5);
    const Function f({y}, {x});
    std::vector<double> rows(200000, 0.25);
    std::vector<double> out(rows.size(), -1.0);
    std::atomic<int> asked{0};
    sym::RowOptions options;
    options.threads = 2;
    options.interrupted = [&] { return ++asked >= 2; };
    EXPECT_FALSE(f.map(rows.data(), rows.size(), 1, 1, out.data(), options));
    EXPECT_EQ(asked.load(), 2);
    EXPECT_EQ(out.back(), -1.0);  // the last block never ran
    options.interrupted = [&] { return ++asked, true; };
    asked = 0;
    EXPECT_TRUE(f.map(rows.data(), 0, 1, 1, out.data(), options));
    EXPECT_EQ(asked.load(), 0);
}

#if defined(__linux__)
// This process's threads, as the kernel counts them.
int process_threads() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

// threads = 0 takes the cores the caller may run on, not the machine's: a
// call pinned to one core runs on the calling thread alone. most_threads
// bounds that choice.
TEST(FunctionRows, DefaultThreadCountFollowsTheCallersAffinity) {
    const Value x = sym::undefined(1, "x");
    Value y = x;
    for (int i = 0; i < 50; ++i) y = sym::sin(y * 1.0001 + 0.5);
    const Function f({y}, {x});
    const std::vector<double> rows(100000, 0.25);  // work enough for threads
    std::vector<double> out(rows.size());
    // Helper threads the call starts, seen from the calling thread while
    // the helpers run (it asks at its first block).
    auto helpers = [&](unsigned threads, unsigned most_threads = 0) {
        const int before = process_threads();
        int most = before;
        sym::RowOptions options;
        options.threads = threads;
        options.most_threads = most_threads;
        options.interrupted = [&] {
            most = std::max(most, process_threads());
            return false;
        };
        EXPECT_TRUE(f.map(rows.data(), rows.size(), 1, 1, out.data(), options));
        return most - before;
    };
    ASSERT_EQ(helpers(2), 1);  // the count sees them
    cpu_set_t saved;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof saved, &saved));
    const int cores = CPU_COUNT(&saved);
    EXPECT_EQ(helpers(0), cores - 1);
    EXPECT_EQ(helpers(0, 1), 0);
    EXPECT_EQ(helpers(0, 2), std::min(cores, 2) - 1);
    int first = 0;
    while (!CPU_ISSET(first, &saved)) ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(0, sched_setaffinity(0, sizeof one, &one));
    const int pinned = helpers(0);
    ASSERT_EQ(0, sched_setaffinity(0, sizeof saved, &saved));
    EXPECT_EQ(pinned, 0);
}
#endif

}  // namespace

// One Function called from several threads at once: every call keeps its
// scratch to itself. (vjp here writes no Parameter: all leaves that are
// not constants are inputs.)
TEST(ThreadsFunction, ConcurrentCallsGiveTheSequentialResults) {
    constexpr int kThreads = 8;
    constexpr int kCalls = 300;
    const Value x = sym::undefined(1, "x");
    const Value v = sym::undefined(3, "v");
    Value y = v;
    for (int i = 0; i < 200; ++i) y = sym::sin(y * x + sym::constant(0.5, 0.25, 0.125));
    const Value total = sym::component(y, 0) + sym::component(y, 1) * sym::component(y, 2);
    const Function f({total, y}, {x, v});
    auto inputs_for = [](int call) {
        const double t = 0.01 * call;
        return std::vector<SmallValue>{sym::small_value(0.5 + t), sym::small_value(t, 1.0 - t, 0.3)};
    };
    const std::vector<SmallValue> seeds = {sym::small_value(1.0), sym::small_value(0.5, -1.0, 2.0)};
    std::vector<std::vector<SmallValue>> values, gradients;
    std::vector<std::vector<double>> jacobians;
    for (int call = 0; call < kCalls; ++call) {
        values.push_back(f.evaluate(inputs_for(call)));
        gradients.push_back(f.vjp(inputs_for(call), seeds));
        jacobians.push_back(f.jacobian(inputs_for(call)));
    }
    std::atomic<int> wrong{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int k = 0; k < kCalls; ++k) {
                const int call = (k + 37 * t) % kCalls;
                const auto in = inputs_for(call);
                const auto value = f.evaluate(in);
                const auto gradient = f.vjp(in, seeds);
                const double row[4] = {in[0].lanes[0], in[1].lanes[0], in[1].lanes[1], in[1].lanes[2]};
                double mapped[4];
                f.map(row, 1, 4, 1, mapped);
                if (!same_bits(value[0], values[call][0]) || !same_bits(value[1], values[call][1]) ||
                    !same_bits(gradient[0], gradients[call][0]) || !same_bits(gradient[1], gradients[call][1]) ||
                    mapped[0] != values[call][0].lanes[0] || mapped[3] != values[call][1].lanes[2] ||
                    (k % 10 == 0 && f.jacobian(in) != jacobians[call])) {
                    ++wrong;
                }
            }
        });
    }
    go.store(true);
    for (std::thread& w : workers) w.join();
    EXPECT_EQ(wrong.load(), 0);
}

namespace {

// Nodes made directly with make_expression may be inconsistent; a Function
// reports them as eval does instead of reading a wrong lane.
TEST(FunctionTest, InconsistentNodesFailAsInEval) {
    const Value v = sym::parameter(1.0, 2.0, "v");
    const Value far = sym::make_expression(Op::Component, 1, {v, Value{}, Value{}, Value{}}, 1, 65536 + 1);
    const Value none = sym::make_expression(Op::None, 1, {v, Value{}, Value{}, Value{}}, 1, -1);
    const Value short_add = sym::make_expression(Op::Add, 2, {v, Value{}, Value{}, Value{}}, 1, -1);
    EXPECT_ERROR(std::out_of_range, kLaneIndex, far.evaluate());
    EXPECT_ERROR(std::out_of_range, kLaneIndex, Function({far}, {}).evaluate({}));
    EXPECT_ERROR(std::logic_error, "unsupported symbolic expression op", none.evaluate());
    EXPECT_ERROR(std::logic_error, "unsupported symbolic expression op", Function({none}, {}));
    EXPECT_ERROR(std::out_of_range, kInputIndex, short_add.evaluate());
    EXPECT_ERROR(std::out_of_range, kInputIndex, Function({short_add}, {v}));
}

}  // namespace

// Arithmetic on several lanes runs inline, a one-lane operand repeated, and
// the reverse pass over blocks of rows assigns at a node's first adjoint
// write instead of adding into zeroed lanes: in every shape, and with the
// nodes whose lanes must still be zeroed (read last by a Component, an
// output), one row gives eval's and backward's bits and blocks of rows give
// one row's.
struct WideCase {
    const char* name;
    Value (*make)(const Value& x, const Value& s, const Value& q);
};

class FunctionWideArithmetic : public testing::TestWithParam<WideCase> {};

// r's lanes 0 and 2, lane 0 twice.
Value picked_lanes(const Value& r) {
    const Value c0 = sym::component(r, 0);
    return sym::make_expression(Op::Pack, 3, {c0, sym::component(r, 2), c0}, 3, -1);
}

TEST_P(FunctionWideArithmetic, GivesEvalAndBackwardBitsInEveryShape) {
    const SmallValue xv = lanes_of({0.75, -1.5, 2.25});
    const SmallValue sv = lanes_of({-0.625});
    const SmallValue seed = lanes_of({1.0, -2.0, 0.5});
    const Value q = sym::parameter({0.5, -1.25, 2.0}, "q");

    // One row against eval and backward, the inputs as Parameters.
    const Value px = sym::parameter(xv, "px");
    const Value ps = sym::parameter(sv, "ps");
    const Value picked = picked_lanes(GetParam().make(px, ps, q));
    for (const Value& p : {px, ps, q}) p.zero_grad();
    picked.backward(seed);
    // A leaf below no output has no gradient; vjp gives it zeros.
    const auto grad_of = [](const Value& p) {
        return p.has_grad() ? p.grad() : lanes_of(std::vector<double>(static_cast<std::size_t>(p.dimension()), 0.0));
    };
    const std::vector<SmallValue> backward_grads = {grad_of(px), grad_of(ps), grad_of(q)};
    for (const Value& p : {px, ps, q}) p.zero_grad();
    const Function one({picked}, {px, ps});
    EXPECT_TRUE(same_bits(one.evaluate({xv, sv})[0], picked.evaluate()));
    const std::vector<SmallValue> grads = one.vjp({xv, sv}, {seed});
    EXPECT_TRUE(same_bits(grads[0], backward_grads[0]));
    EXPECT_TRUE(same_bits(grads[1], backward_grads[1]));
    EXPECT_TRUE(same_bits(grad_of(q), backward_grads[2]));

    // Blocks of rows against one row, r read last by Components, then by a
    // later output, then an output itself.
    const Value x = sym::undefined(3, "x");
    const Value s = sym::undefined(1, "s");
    const Value r = GetParam().make(x, s, q);
    for (const std::vector<Value>& outputs : {std::vector<Value>{picked_lanes(r)},
                                              std::vector<Value>{picked_lanes(r), r * s},
                                              std::vector<Value>{r, picked_lanes(r)}}) {
        const Function f(outputs, {x, s});
        constexpr std::size_t kRows = 300;
        const auto n = static_cast<std::size_t>(f.input_lanes());
        const auto m = static_cast<std::size_t>(f.output_lanes());
        const std::vector<double> rows = random_rows(kRows, f.input_lanes(), 7);
        const std::vector<double> seeds = random_rows(kRows, f.output_lanes(), 8);
        std::vector<double> mapped(kRows * m), gradients(kRows * n);
        ASSERT_TRUE(f.map(rows.data(), kRows, static_cast<std::ptrdiff_t>(n), 1, mapped.data()));
        ASSERT_TRUE(f.map_vjp(rows.data(), kRows, static_cast<std::ptrdiff_t>(n), 1, seeds.data(),
                              static_cast<std::ptrdiff_t>(m), gradients.data(), false));
        for (std::size_t row = 0; row < kRows; row += 13) {
            const std::vector<SmallValue> in = row_values(f, rows.data() + row * n);
            std::vector<double> expected;
            for (const SmallValue& v : f.evaluate(in)) {
                expected.insert(expected.end(), v.lanes.begin(), v.lanes.begin() + v.dimension);
            }
            EXPECT_EQ(0, std::memcmp(expected.data(), mapped.data() + row * m, m * sizeof(double))) << row;
            expected.clear();
            for (const SmallValue& v : f.vjp(in, row_seeds(f, seeds.data() + row * m))) {
                expected.insert(expected.end(), v.lanes.begin(), v.lanes.begin() + v.dimension);
            }
            EXPECT_EQ(0, std::memcmp(expected.data(), gradients.data() + row * n, n * sizeof(double))) << row;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FunctionWideArithmetic,
    testing::Values(WideCase{"AddLanes", [](const Value& x, const Value&, const Value& q) { return x + q; }},
                    WideCase{"SubtractScalarLeft", [](const Value& x, const Value& s, const Value&) { return s - x; }},
                    WideCase{"MultiplyScalarRight", [](const Value& x, const Value& s, const Value&) { return x * s; }},
                    WideCase{"DivideLanes", [](const Value& x, const Value&, const Value& q) { return x / (q + 3.0); }},
                    WideCase{"MultiplySelf", [](const Value& x, const Value&, const Value&) { return x * x; }},
                    WideCase{"DivideScalarBySelf", [](const Value& x, const Value& s, const Value&) {
                        return s / (x * x + 1.0) - x / (s * s + 1.0);
                    }}),
    [](const testing::TestParamInfo<WideCase>& info) { return info.param.name; });

// A first adjoint write assigns d + 0, as adding d into a zeroed lane does:
// a contribution of -0 leaves +0, in one row and in blocks.
TEST(FunctionTest, FirstAdjointWriteKeepsTheSignOfZeroOfAnAddition) {
    const Value x = sym::undefined(3, "x");
    const Value p = sym::parameter(-0.0, "p");
    const Function f({sym::component(x * p, 1)}, {x});  // x's adjoints: 0 * -0 and 1 * -0
    const std::vector<double> row = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
    std::vector<double> gradients(6, -1.0);
    const double seed = 1.0;
    ASSERT_TRUE(f.map_vjp(row.data(), 2, 3, 1, &seed, 0, gradients.data(), false));
    const std::vector<SmallValue> one = f.vjp({lanes_of({1.0, 2.0, 3.0})}, {lanes_of({1.0})});
    for (std::size_t r = 0; r < 2; ++r) {
        EXPECT_EQ(0, std::memcmp(one[0].lanes.data(), gradients.data() + r * 3, 3 * sizeof(double))) << r;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(one[0].lanes[i], 0.0);
        EXPECT_FALSE(std::signbit(one[0].lanes[i])) << i;
    }
}

// A lane that overflows or divides by zero in arithmetic on several lanes
// fails as eval fails, for one row and for the first such row of a block.
TEST(FunctionRows, WideArithmeticThatIsNotFiniteFailsAsEval) {
    const Value x = sym::undefined(3, "x");
    const Value s = sym::undefined(1, "s");
    const Function f({sym::component(x / s * 1e300, 1)}, {x, s});
    EXPECT_ERROR(std::invalid_argument, kFinite, f.evaluate({lanes_of({1.0, 2.0, 3.0}), lanes_of({0.0})}));
    EXPECT_ERROR(std::invalid_argument, kFinite, f.evaluate({lanes_of({1.0, 1e10, 3.0}), lanes_of({1.0})}));
    std::vector<double> rows;
    for (int r = 0; r < 600; ++r) rows.insert(rows.end(), {1.0, 2.0, 3.0, 1.0});
    rows[4 * 517 + 3] = 0.0;  // lanes 0 and 2 overflow, where no output reads them
    rows[4 * 530] = 1e300;
    std::vector<double> out(600 * 4);  // map_vjp: four input lanes a row
    const double seed = 1.0;
    EXPECT_ERROR(std::invalid_argument, std::string("row 517: ") + kFinite, f.map(rows.data(), 600, 4, 1, out.data()));
    EXPECT_ERROR(std::invalid_argument, std::string("row 517: ") + kFinite,
                 f.map_vjp(rows.data(), 600, 4, 1, &seed, 0, out.data(), false));
    ASSERT_TRUE(f.map(rows.data(), 517, 4, 1, out.data()));
    EXPECT_EQ(out[516], 2e300);
}

// A multiply and the add after it that reads its product run as one step
// of one row's passes. Random one-lane arithmetic in which most products are
// read by the next sum, on either side or on both, a product's operands
// repeated or shared with the sum, and some products read again later: one
// row gives eval's values and backward's gradients bit for bit.
struct MultiplyAddGraph {
    std::vector<Value> leaves;
    Value output;

    explicit MultiplyAddGraph(unsigned seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> number(-1.0, 1.0);
        for (const char* name : {"x", "c", "d", "e"}) leaves.push_back(sym::parameter(number(rng), name));
        std::vector<Value> pool = leaves;
        pool.push_back(sym::constant(0.75));
        const auto pick = [&] { return pool[rng() % pool.size()]; };
        // Every value stays within [-1, 1]: products of such values, halved sums.
        for (int i = 0; i < 40; ++i) {
            const Value a = pick();
            const Value product = rng() % 4 == 0 ? a * a : a * pick();
            Value sum;
            switch (rng() % 4) {
                case 0: sum = product + pick(); break;
                case 1: sum = pick() + product; break;
                case 2: sum = product + product; break;
                default: sum = product + a; break;
            }
            pool.push_back(sum * 0.5);
            if (rng() % 4 == 0) pool.push_back(product);
        }
        // The chain y * 0.5 + v over the pool reads every value.
        output = pool[leaves.size()];
        for (std::size_t k = leaves.size() + 1; k < pool.size(); ++k) output = output * 0.5 + pool[k];
    }
};

class FunctionMultiplyAdd : public testing::TestWithParam<unsigned> {};

TEST_P(FunctionMultiplyAdd, OneRowIsEvalAndBackwardBitForBit) {
    const MultiplyAddGraph g(GetParam());
    const SmallValue seed = lanes_of({-1.5});
    const auto grads = [&] {
        std::vector<SmallValue> grads;
        for (const Value& p : g.leaves) grads.push_back(p.has_grad() ? p.grad() : lanes_of({0.0}));
        return grads;
    };
    for (const Value& p : g.leaves) p.zero_grad();
    g.output.backward(seed);
    const std::vector<SmallValue> expected = grads();

    // x an input, the other leaves Parameters read at the call.
    for (const Value& p : g.leaves) p.zero_grad();
    const Function f({g.output}, {g.leaves[0]});
    EXPECT_TRUE(same_bits(f.evaluate({g.leaves[0].value()})[0], g.output.evaluate()));
    const std::vector<SmallValue> returned = f.vjp({g.leaves[0].value()}, {seed});
    EXPECT_TRUE(same_bits(returned[0], expected[0]));
    const std::vector<SmallValue> added = grads();
    for (std::size_t k = 1; k < g.leaves.size(); ++k) EXPECT_TRUE(same_bits(added[k], expected[k])) << k;
}

INSTANTIATE_TEST_SUITE_P(Seeds, FunctionMultiplyAdd, testing::Range(1u, 31u));

// A product or a sum of such a pair that is not finite fails as eval fails,
// before a later lane pick out of range, and adds no gradient.
struct NotFiniteCase {
    const char* name;
    double x, c, d;
    int lane;  // of the lane pick of the sum; 0 is in range
    const char* message;
};

class FunctionMultiplyAddNotFinite : public testing::TestWithParam<NotFiniteCase> {};

TEST_P(FunctionMultiplyAddNotFinite, FailsAsEval) {
    const NotFiniteCase& t = GetParam();
    const Value x = sym::parameter(t.x, "x");
    const Value c = sym::parameter(t.c, "c");
    const Value d = sym::parameter(t.d, "d");
    const Value sum = d + x * c;
    const Value out = sym::make_expression(Op::Component, 1, {sum * c + d}, 1, t.lane) * c + d;
    const std::type_info& cls = t.message == std::string(kFinite) ? typeid(std::invalid_argument)
                                                                   : typeid(std::out_of_range);
    EXPECT_TRUE(throws_exactly([&] { (void)out.evaluate(); }, cls, t.message));
    const Function f({out}, {x});
    for (const Value& p : {c, d}) p.zero_grad();
    EXPECT_TRUE(throws_exactly([&] { (void)f.evaluate({x.value()}); }, cls, t.message));
    EXPECT_TRUE(throws_exactly([&] { (void)f.vjp({x.value()}, {lanes_of({1.0})}); }, cls, t.message));
    EXPECT_FALSE(c.has_grad());
    EXPECT_FALSE(d.has_grad());
}

INSTANTIATE_TEST_SUITE_P(
    Halves, FunctionMultiplyAddNotFinite,
    testing::Values(NotFiniteCase{"ProductOverflows", 1e200, 1e200, 1.0, 0, kFinite},
                    NotFiniteCase{"SumOverflows", 1e308, 1.0, 1e308, 0, kFinite},
                    NotFiniteCase{"LaterProductOverflows", 1e150, 1e150, 1.0, 0, kFinite},
                    NotFiniteCase{"LastSumOverflows", 0.1, 1.0, 0.6e308, 0, kFinite},
                    NotFiniteCase{"BeforeALaneOutOfRange", 1e308, 1.0, 1e308, 2, kFinite},
                    NotFiniteCase{"LaneOutOfRange", 0.5, 0.25, 1.0, 2, kLaneIndex}),
    [](const testing::TestParamInfo<NotFiniteCase>& info) { return info.param.name; });

// Three one-lane steps that each read the one before, run as one step of
// one row's forward pass: a product and then a multiply-add of it (a * b * c + d),
// a multiply-add and then a quotient of its sum (a / (b * b + c)), and the
// two overlapping (x / (a * b * c + d)). Random such steps, each operand on
// either side, repeated (a * a, p * p, s / s) or shared with a neighbour,
// constants beside varying lanes, and some results read again later: one
// row gives eval's values and backward's gradients bit for bit.
struct JoinedStepsGraph {
    std::vector<Value> leaves;
    Value output;

    explicit JoinedStepsGraph(unsigned seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> number(0.5, 1.0);
        for (const char* name : {"x", "c", "d", "e"}) {  // each at least 0.5 in size
            leaves.push_back(sym::parameter(rng() % 2 == 0 ? number(rng) : -number(rng), name));
        }
        std::vector<Value> pool = leaves;
        pool.push_back(sym::constant(0.75));
        const auto pick = [&] { return pool[rng() % pool.size()]; };
        // A divisor at least 0.5 in size: a leaf.
        const auto divisor = [&] { return leaves[rng() % leaves.size()]; };
        // Every value in the pool stays within [-1, 1]: what is made stays
        // within [-8, 8].
        const auto product_of = [&](const Value& p) {
            switch (rng() % 3) {
                case 0: return p * pick();
                case 1: return pick() * p;
                default: return p * p;
            }
        };
        const auto sum_of = [&](const Value& p, const Value& a) {
            switch (rng() % 4) {
                case 0: return p + pick();
                case 1: return pick() + p;
                case 2: return p + a;
                default: return (p + 0.25) * 0.5;
            }
        };
        const auto quotient_of = [&](const Value& s) {
            switch (rng() % 4) {
                case 0: return s / divisor();
                case 1: return s / s;
                case 2: return s / 4.0;
                default: return pick() / s;  // s is at least 1.5
            }
        };
        for (int i = 0; i < 40; ++i) {
            const Value a = pick();
            const Value p = rng() % 4 == 0 ? a * a : a * pick();
            Value made;
            switch (rng() % 3) {
                case 0: {  // a product, then a multiply-add of it
                    const Value q = product_of(p);
                    made = sum_of(q, rng() % 2 == 0 ? p : a);
                    break;
                }
                case 1: {  // a multiply-add, then a quotient of its sum
                    const Value s = rng() % 2 == 0 ? p * p + 2.5 : 2.5 + p * p;
                    made = quotient_of(s);
                    break;
                }
                default: {  // both: a product, a multiply-add of it, a quotient of the sum
                    const Value s = p * pick() + 2.5;
                    made = rng() % 2 == 0 ? s / divisor() : pick() / s;
                    break;
                }
            }
            pool.push_back(made * 0.125);
            if (rng() % 4 == 0) pool.push_back(p);
        }
        output = pool[leaves.size()];
        for (std::size_t k = leaves.size() + 1; k < pool.size(); ++k) output = output * 0.5 + pool[k];
    }
};

// One row of a Function of `output` against eval and backward, bit for bit:
// leaves[0] an input, the other leaves Parameters read at the call.
void expect_one_row_is_eval_and_backward(const std::vector<Value>& leaves, const Value& output) {
    const SmallValue seed = lanes_of({-1.5});
    const auto grads = [&] {
        std::vector<SmallValue> grads;
        for (const Value& p : leaves) grads.push_back(p.has_grad() ? p.grad() : lanes_of({0.0}));
        return grads;
    };
    for (const Value& p : leaves) p.zero_grad();
    output.backward(seed);
    const std::vector<SmallValue> expected = grads();

    for (const Value& p : leaves) p.zero_grad();
    const Function f({output}, {leaves[0]});
    EXPECT_TRUE(same_bits(f.evaluate({leaves[0].value()})[0], output.evaluate()));
    const std::vector<SmallValue> returned = f.vjp({leaves[0].value()}, {seed});
    EXPECT_TRUE(same_bits(returned[0], expected[0]));
    const std::vector<SmallValue> added = grads();
    for (std::size_t k = 1; k < leaves.size(); ++k) EXPECT_TRUE(same_bits(added[k], expected[k])) << k;
}

class FunctionJoinedSteps : public testing::TestWithParam<unsigned> {};

TEST_P(FunctionJoinedSteps, OneRowIsEvalAndBackwardBitForBit) {
    const JoinedStepsGraph g(GetParam());
    expect_one_row_is_eval_and_backward(g.leaves, g.output);
}

INSTANTIATE_TEST_SUITE_P(Seeds, FunctionJoinedSteps, testing::Range(1u, 41u));

// A joined step with a result that is not finite at any of its three
// instructions fails as eval fails and adds no gradient.
struct JoinedNotFiniteCase {
    const char* name;
    Value (*make)(const Value& x, const Value& c, const Value& d, const Value& e);
    double x, c, d, e;
};

class FunctionJoinedStepsNotFinite : public testing::TestWithParam<JoinedNotFiniteCase> {};

TEST_P(FunctionJoinedStepsNotFinite, FailsAsEval) {
    const JoinedNotFiniteCase& t = GetParam();
    const Value x = sym::parameter(t.x, "x");
    const Value c = sym::parameter(t.c, "c");
    const Value d = sym::parameter(t.d, "d");
    const Value e = sym::parameter(t.e, "e");
    const Value out = t.make(x, c, d, e) * 0.5;
    EXPECT_TRUE(throws_exactly([&] { (void)out.evaluate(); }, typeid(std::invalid_argument), kFinite));
    const Function f({out}, {x});
    for (const Value& p : {c, d, e}) p.zero_grad();
    EXPECT_TRUE(throws_exactly([&] { (void)f.evaluate({x.value()}); }, typeid(std::invalid_argument), kFinite));
    EXPECT_TRUE(throws_exactly([&] { (void)f.vjp({x.value()}, {lanes_of({1.0})}); }, typeid(std::invalid_argument),
                               kFinite));
    for (const Value& p : {c, d, e}) EXPECT_FALSE(p.has_grad());
}

Value product_then_multiply_add(const Value& x, const Value& c, const Value& d, const Value& e) {
    return x * c * d + e;
}

Value multiply_add_then_quotient(const Value& x, const Value& c, const Value& d, const Value& e) {
    return x / (c * c + d) + e;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FunctionJoinedStepsNotFinite,
    testing::Values(JoinedNotFiniteCase{"FirstProductOverflows", product_then_multiply_add, 1e200, 1e200, 1.0, 1.0},
                    JoinedNotFiniteCase{"SecondProductOverflows", product_then_multiply_add, 1e200, 1.0, 1e200, 1.0},
                    JoinedNotFiniteCase{"SumOverflows", product_then_multiply_add, 1e308, 1.0, 1.0, 1e308},
                    JoinedNotFiniteCase{"SquareOverflows", multiply_add_then_quotient, 1.0, 1e200, 1.0, 1.0},
                    JoinedNotFiniteCase{"DivisorOverflows", multiply_add_then_quotient, 1.0, 1e154, 1e308, 1.0},
                    JoinedNotFiniteCase{"DividesByZero", multiply_add_then_quotient, 1.0, 0.0, 0.0, 1.0},
                    JoinedNotFiniteCase{"ZeroByZero", multiply_add_then_quotient, 0.0, 0.0, 0.0, 1.0},
                    JoinedNotFiniteCase{"QuotientOverflows", multiply_add_then_quotient, 1e308, 0.5, 0.25, 1.0}),
    [](const testing::TestParamInfo<JoinedNotFiniteCase>& info) { return info.param.name; });

// One-lane arithmetic with a constant on either side, many of the
// constants equal to others bit for bit and some equal in value only (0 and
// -0), the sine and cosine of one lane, lane picks of a three-lane input,
// operands shared and repeated, and Parameters read at the call: one row
// gives eval's values and backward's gradients bit for bit.
struct OneLaneGraph {
    Value x = sym::parameter({0.25, -0.5, 0.75}, "x");
    std::vector<Value> parameters;
    Value output;

    explicit OneLaneGraph(unsigned seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> number(-1.0, 1.0);
        x.set_value(lanes_of({number(rng), number(rng), number(rng)}));
        parameters = {sym::parameter(number(rng), "p"), sym::parameter(number(rng), "q")};
        std::vector<Value> pool = {sym::component(x, 0), sym::component(x, 1), sym::component(x, 2),
                                   parameters[0], parameters[1]};
        const double constants[] = {0.5, -0.5, 0.0, -0.0, 2.0};
        const auto pick = [&] { return pool[rng() % pool.size()]; };
        // A new constant node each time, as x * 0.5 makes one.
        const auto constant = [&] { return sym::constant(constants[rng() % 5]); };
        // Every value stays within about [-2, 2].
        for (int i = 0; i < 60; ++i) {
            const Value a = pick();
            const Value b = pick();
            Value made;
            switch (rng() % 12) {
                case 0: made = a * constant(); break;
                case 1: made = constant() * a; break;
                case 2: made = (a + constant()) * 0.5; break;
                case 3: made = (constant() - a) * 0.5; break;
                case 4: made = a / 2.0 - b / -2.0; break;
                case 5: made = a * b * 0.5 + 0.5; break;
                case 6: made = a / (b * b + 2.0); break;
                case 7: made = sym::sin(a); break;
                case 8: made = sym::cos(a) * b; break;
                case 9: made = sym::sin(a) * sym::sin(a) - a * a; break;
                case 10: {
                    // The reverse pass adds into y's adjoint at the sine
                    // and the cosine, just before y's own step reads it.
                    const Value y = a * b;
                    made = sym::sin(y) * y - sym::cos(y) * y;
                    break;
                }
                default: made = sym::component(sym::vec3(a, b, a), static_cast<int>(rng() % 3)); break;
            }
            pool.push_back(made);
        }
        // The chain y * 0.5 + v over the pool reads every value.
        output = pool[5];
        for (std::size_t k = 6; k < pool.size(); ++k) output = output * 0.5 + pool[k];
    }
};

class FunctionOneLane : public testing::TestWithParam<unsigned> {};

TEST_P(FunctionOneLane, OneRowIsEvalAndBackwardBitForBit) {
    const OneLaneGraph g(GetParam());
    const SmallValue seed = lanes_of({-1.5});
    std::vector<Value> leaves = g.parameters;
    leaves.insert(leaves.begin(), g.x);
    const auto grads = [&] {
        std::vector<SmallValue> grads;
        for (const Value& p : leaves) grads.push_back(p.has_grad() ? p.grad() : lanes_of({}));
        return grads;
    };
    for (const Value& p : leaves) p.zero_grad();
    g.output.backward(seed);
    const std::vector<SmallValue> expected = grads();

    for (const Value& p : leaves) p.zero_grad();
    const Function f({g.output}, {g.x});
    EXPECT_TRUE(same_bits(f.evaluate({g.x.value()})[0], g.output.evaluate()));
    const std::vector<SmallValue> returned = f.vjp({g.x.value()}, {seed});
    EXPECT_TRUE(same_bits(returned[0], expected[0]));
    const std::vector<SmallValue> added = grads();
    for (std::size_t k = 1; k < leaves.size(); ++k) EXPECT_TRUE(same_bits(added[k], expected[k])) << k;
}

INSTANTIATE_TEST_SUITE_P(Seeds, FunctionOneLane, testing::Range(1u, 31u));

// Constants share their lanes only when their dimensions and every bit of
// their lanes agree: 0 and -0, or 0.5 and (0.5, 0), stay apart.
TEST(FunctionTest, ConstantsEqualInValueOnlyKeepTheirOwnBits) {
    const Value x = sym::parameter(0.75, "x");
    const Value w = sym::parameter({1.5, -2.5}, "w");
    const std::vector<Value> outputs = {x * 0.0,
                                        x * -0.0,
                                        -0.0 * x,
                                        w * sym::constant(0.5),
                                        x * 3.0,
                                        w * sym::constant(0.5, 0.0),
                                        w * sym::constant(0.5, -0.0),
                                        x * 0.5 + sym::constant(0.5, 0.0)};
    const Function f(outputs, {x, w});
    const std::vector<SmallValue> at = {x.value(), w.value()};
    const std::vector<SmallValue> values = f.evaluate(at);
    std::vector<SmallValue> seeds;
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        EXPECT_TRUE(same_bits(values[k], outputs[k].evaluate())) << k;
        seeds.push_back(seed_for(outputs[k].dimension()));
    }
    const std::vector<SmallValue> returned = f.vjp(at, seeds);
    for (const Value& p : {x, w}) p.zero_grad();
    for (std::size_t k = 0; k < outputs.size(); ++k) outputs[k].backward(seeds[k]);
    EXPECT_TRUE(same_bits(returned[0], x.grad()));
    EXPECT_TRUE(same_bits(returned[1], w.grad()));
}

// A one-lane product by a constant, a sine or a cosine that is not finite
// fails as eval fails and adds no gradient; a gradient that is not finite
// (a quotient by a tiny constant) is backward's, bit for bit.
struct OneLaneNotFiniteCase {
    const char* name;
    Value (*make)(const Value& x, const Value& c);
    bool fails;
};

class FunctionOneLaneNotFinite : public testing::TestWithParam<OneLaneNotFiniteCase> {};

TEST_P(FunctionOneLaneNotFinite, FailsOrGivesBackwardsBitsAsEval) {
    const OneLaneNotFiniteCase& t = GetParam();
    const Value x = sym::parameter(1e200, "x");
    const Value c = sym::parameter(0.5, "c");
    const Value out = t.make(x, c);
    const Function f({out}, {x});
    const SmallValue seed = lanes_of({1e10});
    c.zero_grad();
    if (t.fails) {
        EXPECT_TRUE(throws_exactly([&] { (void)out.evaluate(); }, typeid(std::invalid_argument), kFinite));
        EXPECT_TRUE(throws_exactly([&] { (void)f.evaluate({x.value()}); }, typeid(std::invalid_argument), kFinite));
        EXPECT_TRUE(throws_exactly([&] { (void)f.vjp({x.value()}, {seed}); }, typeid(std::invalid_argument), kFinite));
        EXPECT_FALSE(c.has_grad());
        return;
    }
    EXPECT_TRUE(same_bits(f.evaluate({x.value()})[0], out.evaluate()));
    const SmallValue returned = f.vjp({x.value()}, {seed})[0];
    const SmallValue added = c.grad();
    for (const Value& p : {x, c}) p.zero_grad();
    out.backward(seed);
    EXPECT_FALSE(std::isfinite(returned.lanes[0]));
    EXPECT_TRUE(same_bits(returned, x.grad()));
    EXPECT_TRUE(same_bits(added, c.grad()));
}

INSTANTIATE_TEST_SUITE_P(
    Parts, FunctionOneLaneNotFinite,
    testing::Values(
        OneLaneNotFiniteCase{"ProductByAConstant", [](const Value& x, const Value& c) { return sym::sin(x * 1e200 * c); },
                             true},
        OneLaneNotFiniteCase{"SineOfAnOverflow", [](const Value& x, const Value& c) { return sym::sin(x * x) * c; },
                             true},
        OneLaneNotFiniteCase{"CosineBeforeAnOverflow",
                             [](const Value& x, const Value& c) { return sym::cos(x) * c * 1e200 * 1e200; }, true},
        OneLaneNotFiniteCase{"GradientOfAQuotientByATinyConstant",
                             [](const Value& x, const Value& c) { return sym::sin(x * 1e-200) * c / 1e-300; }, false},
        OneLaneNotFiniteCase{"GradientThroughASine",
                             [](const Value& x, const Value& c) { return sym::sin(x * 1e-200 / 1e-300) * c; }, false}),
    [](const testing::TestParamInfo<OneLaneNotFiniteCase>& info) { return info.param.name; });
