// A Function written to bytes and read back computes the same bits, holds
// frozen copies of its Parameters, and damaged bytes are refused with a
// clear message, without a node made, whatever the damage.
#include <cstring>
#include <random>

#include "symbolic/elementary.h"
#include "symbolic/function.h"
#include "symbolic/function_serialization.h"
#include "test_support.h"

namespace {

using sym::Function;
using Bytes = std::vector<std::uint8_t>;

bool same_bits(const SmallValue& a, const SmallValue& b) {
    return a.dimension == b.dimension &&
           std::memcmp(a.lanes.data(), b.lanes.data(), sizeof(double) * static_cast<std::size_t>(a.dimension)) == 0;
}

bool same_bits(const std::vector<SmallValue>& a, const std::vector<SmallValue>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (!same_bits(a[k], b[k])) return false;
    }
    return true;
}

Function load(const Bytes& bytes) { return sym::function_from_bytes(bytes.data(), bytes.size()); }

// A random graph over inputs x (three lanes) and a (one lane, a Parameter)
// and a Parameter w (two lanes) that is not an input: every kind of slot,
// broadcasting, lane picks, packs, shared operands and the elementary
// functions, kept finite.
struct RandomFunction {
    Value x = sym::undefined(3, "x");
    Value a = sym::parameter(0.25, "a");
    Value w = sym::parameter({0.5, -1.25}, "w");
    std::vector<Value> outputs;

    explicit RandomFunction(unsigned seed) {
        std::mt19937 rng(seed);
        auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
        std::vector<Value> pool = {x, a, w, sym::constant(0.5, -1.5, 2.0), sym::constant(3.0)};
        for (int i = 0; i < 40; ++i) {
            const Value p = pool[pick(pool.size())];
            Value q = pool[pick(pool.size())];
            if (p.dimension() != q.dimension() && p.dimension() != 1 && q.dimension() != 1) q = sym::component(q, 0);
            Value made;
            switch (pick(10)) {
                case 0: made = (p + q) * 0.5; break;
                case 1: made = p * sym::sin(q); break;
                case 2: made = p / (sym::cos(q) + 2.0); break;
                case 3: made = -p; break;
                case 4: made = sym::component(p, static_cast<int>(pick(static_cast<std::size_t>(p.dimension())))); break;
                case 5: made = sym::vec3(sym::component(p, 0), sym::component(q, 0), a); break;
                case 6: made = sym::exp(sym::sin(p)); break;
                case 7: made = sym::pow(p * p + 1.0, sym::sin(q)) * 0.5; break;
                case 8: made = sym::atan2(p, q * q + 1.0); break;
                default: made = sym::tanh(p - q); break;
            }
            pool.push_back(made);
        }
        outputs = {pool.back(), pool[pool.size() - 7], pool[pool.size() - 3]};
    }
    Function compile() const { return Function(outputs, {x, a}); }
};

std::vector<SmallValue> point(std::mt19937& rng) {
    std::uniform_real_distribution<double> number(-2.0, 2.0);
    return {lanes_of({number(rng), number(rng), number(rng)}), lanes_of({number(rng)})};
}

std::vector<SmallValue> ones(const Function& f) {
    std::vector<SmallValue> seeds;
    for (const Value& output : f.outputs()) {
        SmallValue seed = lanes_of({1.0});
        seed.dimension = output.dimension();
        std::fill(seed.lanes.begin(), seed.lanes.begin() + seed.dimension, 1.0);
        seeds.push_back(seed);
    }
    return seeds;
}

class RoundTrip : public testing::TestWithParam<unsigned> {};

TEST_P(RoundTrip, LoadedFunctionComputesTheSameBits) {
    const RandomFunction graph(GetParam());
    const Function f = graph.compile();
    const Bytes bytes = sym::function_to_bytes(f);
    const Function g = load(bytes);
    EXPECT_EQ(g.instruction_count(), f.instruction_count());
    EXPECT_EQ(g.input_lanes(), f.input_lanes());
    EXPECT_EQ(g.output_lanes(), f.output_lanes());
    // The loaded Function's own form is the one it was read from.
    EXPECT_EQ(sym::function_to_bytes(g), bytes);
    std::mt19937 rng(GetParam());
    for (int k = 0; k < 5; ++k) {
        const std::vector<SmallValue> at = point(rng);
        EXPECT_TRUE(same_bits(g.evaluate(at), f.evaluate(at)));
        EXPECT_TRUE(same_bits(g.vjp(at, ones(g)), f.vjp(at, ones(f))));
        EXPECT_EQ(g.jacobian(at), f.jacobian(at));
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RoundTrip, testing::Range(1u, 13u));

// Outputs that are leaves themselves or the same node twice, constants of
// several lanes shared by several instructions, a Parameter input: each
// keeps its place in the form through a save and a load.
class LeafOutputs : public testing::TestWithParam<int> {};

TEST_P(LeafOutputs, RoundTripKeepsTheForm) {
    const Value x = sym::undefined(2, "x");
    const Value a = sym::parameter(0.75, "a");
    const Value w = sym::parameter({0.5, -2.0}, "w");
    const Value c = sym::constant(1.5, -0.5);
    const Value y = sym::sin(x * w) + c;
    const std::vector<std::vector<Value>> cases = {
        {x},
        {c, y},
        {w, y, w},
        {y, a * sym::component(y, 1), x, c, sym::vec3(sym::component(c, 0), a, sym::component(x, 1))},
        {sym::constant(4.0), sym::component(w, 1) / a, y - c},
    };
    const std::vector<Value>& outputs = cases[static_cast<std::size_t>(GetParam())];
    const Function f(outputs, {x, a});
    const Bytes bytes = sym::function_to_bytes(f);
    const Function g = load(bytes);
    EXPECT_EQ(sym::function_to_bytes(g), bytes);
    const std::vector<SmallValue> at = {lanes_of({0.3, -1.1}), lanes_of({2.5})};
    EXPECT_TRUE(same_bits(g.evaluate(at), f.evaluate(at)));
    EXPECT_TRUE(same_bits(g.vjp(at, ones(g)), f.vjp(at, ones(f))));
    EXPECT_EQ(g.jacobian(at), f.jacobian(at));
}

INSTANTIATE_TEST_SUITE_P(Cases, LeafOutputs, testing::Range(0, 5));

// Constant nodes of equal dimension and bits share lanes in a Function, so
// they are saved once: x * 0.5 written out 20 times saves as one constant
// read 20 times, and computes the same bits after a load.
TEST(FunctionSerialization, EqualConstantsAreSavedOnce) {
    const Value x = sym::undefined(1, "x");
    const Value half = sym::constant(0.5);
    Value apart = x * 0.0 + x * -0.0;
    Value shared = x * 0.0 + x * -0.0;
    for (int k = 0; k < 20; ++k) {
        apart = apart + x * 0.5;
        shared = shared + x * half;
    }
    const Function f({apart}, {x});
    const Bytes bytes = sym::function_to_bytes(f);
    EXPECT_EQ(bytes.size(), sym::function_to_bytes(Function({shared}, {x})).size());
    const Function g = load(bytes);
    EXPECT_EQ(sym::function_to_bytes(g), bytes);
    const std::vector<SmallValue> at = {lanes_of({-0.75})};
    EXPECT_TRUE(same_bits(g.evaluate(at), f.evaluate(at)));
    EXPECT_TRUE(same_bits(g.vjp(at, ones(g)), f.vjp(at, ones(f))));
}

TEST(FunctionSerialization, ParametersAreFrozenCopies) {
    const Value x = sym::undefined(1, "x");
    const Value w = sym::parameter(2.0, "w");
    const Function f({x * w}, {x});
    const Function g = load(sym::function_to_bytes(f));
    w.set_value(lanes_of({5.0}));
    EXPECT_LANES(f.evaluate({lanes_of({3.0})})[0], {15.0});
    EXPECT_LANES(g.evaluate({lanes_of({3.0})})[0], {6.0});
    // Its vjp adds into its own copy, never into w.
    EXPECT_LANES(g.vjp({lanes_of({3.0})}, {lanes_of({1.0})})[0], {2.0});
    EXPECT_FALSE(w.has_grad());
    // Saving again takes the value a Parameter holds then.
    EXPECT_LANES(load(sym::function_to_bytes(f)).evaluate({lanes_of({3.0})})[0], {15.0});
}

TEST(FunctionSerialization, LoadingMakesNodesOnlyOnSuccess) {
    const Value x = sym::undefined(2, "x");
    const Function f({sym::sin(x) * 2.0}, {x});
    const Bytes bytes = sym::function_to_bytes(f);
    const std::uint64_t before = next_id();
    const Function g = load(bytes);
    // x, the constant 2, sin and the product: four new nodes.
    EXPECT_EQ(next_id(), before + 1 + 4);
    EXPECT_TRUE(g.inputs()[0].is_undefined());
    EXPECT_EQ(g.outputs()[0].op(), Op::Multiply);
}

// y = sin(x * w) + 1.5 for x of one lane and w a Parameter of two;
// outputs y[1] and y. Slots: x 0, w 1, x * w 2, sin 3, 1.5 4, y 5, y[1] 6.
// Offsets of the fields in its 135 bytes, as the format lays them out.
enum Offset : std::size_t {
    kVersionAt = 8, kSlotsAt = 12, kOutputCountAt = 32, kInputDimAt = 36, kConstantSlotAt = 37,
    kConstantLaneAt = 42, kParameterSlotAt = 50, kMulAt = 71, kSinAt = 87, kAddAt = 99, kComponentAt = 115,
    kOutputsAt = 127, kSize = 135,
};

Bytes sample() {
    const Value x = sym::undefined(1, "x");
    const Value w = sym::parameter({0.5, 2.0}, "w");
    const Value y = sym::sin(x * w) + 1.5;
    return sym::function_to_bytes(Function({sym::component(y, 1), y}, {x}));
}

void put_u32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) bytes[at + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(value >> (8 * k));
}

struct Damage {
    const char* name;
    std::function<void(Bytes&)> apply;
    const char* message;
};

std::ostream& operator<<(std::ostream& out, const Damage& damage) { return out << damage.name; }

class Damaged : public testing::TestWithParam<Damage> {};

TEST(FunctionSerialization, SampleHasTheDocumentedLayout) {
    const Bytes bytes = sample();
    ASSERT_EQ(bytes.size(), kSize);
    EXPECT_EQ(std::memcmp(bytes.data(), "VARNELFN", 8), 0);
    EXPECT_EQ(bytes[kVersionAt], 1);
    EXPECT_EQ(bytes[kSlotsAt], 7);
    EXPECT_EQ(bytes[kParameterSlotAt], 1);
    EXPECT_EQ(bytes[kConstantSlotAt], 4);
    EXPECT_EQ(bytes[kMulAt], static_cast<std::uint8_t>(Op::Multiply));
    EXPECT_EQ(bytes[kComponentAt + 3], 1);  // the lane it picks
    EXPECT_EQ(bytes[kOutputsAt], 6);
    // Another build or machine reads the same bytes: the numbers are
    // little-endian, whatever this one is.
    double lane;
    std::uint64_t bits = 0;
    for (int k = 7; k >= 0; --k) bits = bits << 8 | bytes[kConstantLaneAt + static_cast<std::size_t>(k)];
    std::memcpy(&lane, &bits, sizeof lane);
    EXPECT_EQ(lane, 1.5);
}

TEST_P(Damaged, IsRefusedWithItsMessageAndNoNode) {
    Bytes bytes = sample();
    GetParam().apply(bytes);
    EXPECT_ERROR_NO_ID(std::invalid_argument, std::string("invalid Function data: ") + GetParam().message,
                       load(bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Damaged,
    testing::Values(
        Damage{"Magic", [](Bytes& b) { b[0] = 'X'; }, "wrong magic, these bytes are not a saved Function"},
        Damage{"Version", [](Bytes& b) { put_u32(b, kVersionAt, 2); },
               "format version 2, this build reads version 1"},
        Damage{"Empty", [](Bytes& b) { b.clear(); }, "truncated: 0 bytes, the header alone takes 36"},
        Damage{"HalfHeader", [](Bytes& b) { b.resize(20); }, "truncated: 20 bytes, the header alone takes 36"},
        Damage{"CutInstructions", [](Bytes& b) { b.resize(100); },
               "truncated: 4 instructions do not fit in the 29 bytes left"},
        Damage{"CutOutputs", [](Bytes& b) { b.resize(kSize - 1); },
               "truncated: 2 outputs do not fit in the 7 bytes left"},
        Damage{"CutLanes", [](Bytes& b) { b.resize(65); }, "truncated: 65 bytes, the form needs at least 71"},
        Damage{"Trailing", [](Bytes& b) { b.push_back(0); }, "1 trailing bytes after the form"},
        Damage{"SlotCount", [](Bytes& b) { put_u32(b, kSlotsAt, 8); },
               "inconsistent sizes: 8 slots for 1 inputs, 1 constants, 1 parameters and 4 instructions"},
        Damage{"HugeCount", [](Bytes& b) { put_u32(b, kSlotsAt, 0xffffffffu); },
               "inconsistent sizes: 4294967295 slots for 1 inputs, 1 constants, 1 parameters and 4 instructions"},
        Damage{"NoOutputs", [](Bytes& b) { put_u32(b, kOutputCountAt, 0); }, "no outputs"},
        Damage{"InputDimension", [](Bytes& b) { b[kInputDimAt] = 5; }, "input 0 has dimension 5, expected 1..4"},
        Damage{"ConstantNaN", [](Bytes& b) { b[kConstantLaneAt + 6] = 0xf8; b[kConstantLaneAt + 7] = 0x7f; },
               "constant at slot 4 is not finite"},
        Damage{"UnknownOp", [](Bytes& b) { b[kMulAt] = 200; }, "instruction 0 has an unknown operator code 200"},
        Damage{"NoneOp", [](Bytes& b) { b[kMulAt] = 0; }, "instruction 0 has an unknown operator code 0"},
        Damage{"OperandCount", [](Bytes& b) { b[kSinAt] = static_cast<std::uint8_t>(Op::Add); },
               "instruction 1 (Add) has 1 operands, expected 2"},
        Damage{"ZeroOperands", [](Bytes& b) { b[kSinAt + 2] = 0; }, "instruction 1 has 0 operands, expected 1..4"},
        Damage{"ReadsItself", [](Bytes& b) { put_u32(b, kMulAt + 8, 2); },
               "instruction 0 reads slot 2, not before its own slot 2"},
        Damage{"ReadsPastEnd", [](Bytes& b) { put_u32(b, kMulAt + 8, 0xfffffff0u); },
               "instruction 0 reads slot 4294967280, not before its own slot 2"},
        Damage{"OutOfRange", [](Bytes& b) { put_u32(b, kMulAt + 4, 9); },
               "instruction slot 9 is out of range or out of order"},
        Damage{"WrittenTwice", [](Bytes& b) { put_u32(b, kConstantSlotAt, 1); }, "slot 1 is written twice"},
        Damage{"ReadsNothing", [](Bytes& b) { put_u32(b, kConstantSlotAt, 6); },
               "instruction 2 reads slot 4, which nothing writes"},
        Damage{"LaneOutOfRange", [](Bytes& b) { b[kComponentAt + 3] = 2; },
               "instruction 3 (Component) has dimension 1, which its operands do not give"},
        Damage{"LaneOnArithmetic", [](Bytes& b) { b[kAddAt + 3] = 1; }, "instruction 2 (Add) names lane 1"},
        Damage{"Dimension", [](Bytes& b) { b[kMulAt + 1] = 1; },
               "instruction 0 (Multiply) has dimension 1, which its operands do not give"},
        Damage{"OutputOutOfRange", [](Bytes& b) { put_u32(b, kOutputsAt, 7); }, "output slot 7 is out of range"},
        Damage{"NotDepthFirst", [](Bytes& b) { put_u32(b, kAddAt + 8, 4); put_u32(b, kAddAt + 12, 3); },
               "slot 4 is not in the depth-first order of the outputs"},
        Damage{"Unreached", [](Bytes& b) { put_u32(b, kOutputsAt, 0); put_u32(b, kOutputsAt + 4, 0); },
               "slot 1 is not reached from any output"}),
    [](const testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

// A caller that was made from one output or one input refuses a form of
// another count as damaged: after the form's own checks, before any node.
TEST(FunctionSerialization, FormsOfOtherCountsThanAskedForAreRefused) {
    const auto load_as = [](const Bytes& bytes, bool one_output, bool one_input) {
        return sym::function_from_bytes(bytes.data(), bytes.size(), one_output, one_input);
    };
    const Bytes bytes = sample();  // two outputs, one input
    EXPECT_ERROR_NO_ID(std::invalid_argument, "invalid Function data: 2 outputs, expected 1",
                       load_as(bytes, true, false));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "invalid Function data: 2 outputs, expected 1",
                       load_as(bytes, true, true));
    EXPECT_EQ(load_as(bytes, false, true).inputs().size(), 1u);
    Bytes damaged = bytes;
    damaged[kMulAt] = 200;
    EXPECT_ERROR_NO_ID(std::invalid_argument, "invalid Function data: instruction 0 has an unknown operator code 200",
                       load_as(damaged, true, false));
    const Bytes no_inputs = sym::function_to_bytes(Function({sym::parameter(1.0, "p") * 2.0}, {}));
    EXPECT_ERROR_NO_ID(std::invalid_argument, "invalid Function data: 0 inputs, expected 1",
                       load_as(no_inputs, false, true));
}

// Random damage to valid forms: every load either refuses the bytes with
// invalid_argument and makes no node, or gives a Function that runs. Under
// the sanitizers this also shows that no index is used before it is checked.
TEST(FunctionSerialization, RandomDamageNeverCrashes) {
    std::mt19937 rng(20);
    std::vector<Bytes> forms = {sample()};
    for (unsigned seed = 1; seed <= 3; ++seed) forms.push_back(sym::function_to_bytes(RandomFunction(seed).compile()));
    int refused = 0;
    int loaded = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes = forms[rng() % forms.size()];
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = rng() % bytes.size();
            switch (rng() % 5) {
                case 0: bytes[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
                case 1: bytes[at] = static_cast<std::uint8_t>(rng()); break;
                case 2: bytes.resize(at); break;
                case 3: bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(rng()));
                    break;
                default:
                    if (at + 4 <= bytes.size()) put_u32(bytes, at, static_cast<std::uint32_t>(rng()));
                    break;
            }
            if (bytes.empty()) break;
        }
        const std::uint64_t before = next_id();
        try {
            const Function f = load(bytes);
            ++loaded;
            std::vector<SmallValue> at;
            for (const Value& input : f.inputs()) {
                SmallValue value = lanes_of({0.25});
                value.dimension = input.dimension();
                std::fill(value.lanes.begin(), value.lanes.begin() + value.dimension, 0.25);
                at.push_back(value);
            }
            try {
                (void)f.evaluate(at);
                (void)f.jacobian(at);
            } catch (const std::invalid_argument&) {
                // A lane that became NaN or infinite, say after a changed
                // constant: the library's own refusal.
            } catch (const std::out_of_range&) {
            } catch (const std::logic_error&) {
            }
        } catch (const std::invalid_argument& error) {
            ++refused;
            ASSERT_EQ(std::string(error.what()).rfind("invalid Function data: ", 0), 0u) << error.what();
            ASSERT_EQ(next_id(), before + 1) << "a refused load made a node: " << error.what();
        }
    }
    // Both ways were taken many times.
    EXPECT_GT(refused, 5000);
    EXPECT_GT(loaded, 200);
}

}  // namespace
