// A Function's tape written out and read back. A loaded form is checked
// whole, then rebuilt as a graph of new nodes and compiled again; the tape
// that compiling gives must be the loaded one, field for field.
#include "symbolic/function_serialization.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "symbolic/detail/checks.h"
#include "symbolic/detail/operators.h"
#include "symbolic/detail/tape.h"

namespace varnel::symbolic {
namespace {

constexpr std::array<std::uint8_t, 8> kMagic{'V', 'A', 'R', 'N', 'E', 'L', 'F', 'N'};
constexpr std::uint32_t kVersion = 1;
// Magic, version and six sizes.
constexpr std::size_t kHeaderBytes = 8 + 4 + 6 * 4;
// The smallest record of each field, to refuse a count that the bytes left
// cannot hold before anything is allocated for it.
constexpr std::size_t kLeafBytes = 4 + 1 + 8;
constexpr std::size_t kInstructionBytes = 4 + 4 + 4;

// A constant's or a Parameter's slot and value.
struct Leaf {
    std::uint32_t slot;
    SmallValue value;
};

// An instruction as the form holds it: what it computes, not how the tape
// dispatches it.
struct Step {
    ExpressionOp op;
    std::uint8_t dimension;
    std::uint8_t operand_count;
    std::uint8_t lane;
    std::uint32_t out;
    std::array<std::uint32_t, 4> operand;
};

struct Form {
    std::uint32_t slot_count = 0;
    std::vector<std::uint8_t> input_dimensions;
    std::vector<Leaf> constants;
    std::vector<Leaf> parameters;
    std::vector<Step> steps;
    std::vector<std::uint32_t> outputs;
};

bool same_bits(const SmallValue& a, const SmallValue& b) {
    return a.dimension == b.dimension &&
           std::memcmp(a.lanes.data(), b.lanes.data(), static_cast<std::size_t>(a.dimension) * sizeof(double)) == 0;
}

bool operator==(const Leaf& a, const Leaf& b) { return a.slot == b.slot && same_bits(a.value, b.value); }

bool operator==(const Step& a, const Step& b) {
    return a.op == b.op && a.dimension == b.dimension && a.operand_count == b.operand_count && a.lane == b.lane &&
           a.out == b.out && a.operand == b.operand;
}

bool operator==(const Form& a, const Form& b) {
    return a.slot_count == b.slot_count && a.input_dimensions == b.input_dimensions && a.constants == b.constants &&
           a.parameters == b.parameters && a.steps == b.steps && a.outputs == b.outputs;
}

[[noreturn]] void invalid(const std::string& what) {
    throw std::invalid_argument("invalid Function data: " + what);
}

// --- Bytes -----------------------------------------------------------------

class Writer {
public:
    void bytes(const std::uint8_t* data, std::size_t count) { out_.insert(out_.end(), data, data + count); }
    void u8(std::uint8_t value) { out_.push_back(value); }
    void u32(std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8) out_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    void f64(double value) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        for (int shift = 0; shift < 64; shift += 8) out_.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    std::vector<std::uint8_t> take() { return std::move(out_); }

private:
    std::vector<std::uint8_t> out_;
};

// Reads fields in order; a read past the end is refused before it happens.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::size_t left() const { return size_ - at_; }
    const std::uint8_t* take(std::size_t count) {
        if (count > left()) {
            invalid("truncated: " + std::to_string(size_) + " bytes, the form needs at least " +
                    std::to_string(at_ + count));
        }
        const std::uint8_t* here = data_ + at_;
        at_ += count;
        return here;
    }
    std::uint8_t u8() { return *take(1); }
    std::uint32_t u32() {
        const std::uint8_t* b = take(4);
        return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
               static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    }
    double f64() {
        const std::uint8_t* b = take(8);
        std::uint64_t bits = 0;
        for (int k = 7; k >= 0; --k) bits = bits << 8 | b[k];
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    // A count of records of at least `record` bytes each that the bytes
    // left can hold.
    std::uint32_t count(std::uint32_t n, std::size_t record, const char* what) const {
        if (static_cast<std::uint64_t>(n) * record > left()) {
            invalid("truncated: " + std::to_string(n) + " " + what + " do not fit in the " +
                    std::to_string(left()) + " bytes left");
        }
        return n;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A dimension byte; `what` names its owner, and is called only to say
// what is wrong.
template <typename What>
std::uint8_t dimension_of(Reader& in, const What& what) {
    const std::uint8_t dimension = in.u8();
    if (dimension < 1 || dimension > 4) {
        invalid(what() + " has dimension " + std::to_string(dimension) + ", expected 1..4");
    }
    return dimension;
}

void write_leaves(Writer& out, const std::vector<Leaf>& leaves) {
    for (const Leaf& leaf : leaves) {
        out.u32(leaf.slot);
        out.u8(static_cast<std::uint8_t>(leaf.value.dimension));
        for (int i = 0; i < leaf.value.dimension; ++i) out.f64(leaf.value.lanes[static_cast<std::size_t>(i)]);
    }
}

std::vector<Leaf> read_leaves(Reader& in, std::uint32_t count, const char* what) {
    std::vector<Leaf> leaves(count);
    for (Leaf& leaf : leaves) {
        leaf.slot = in.u32();
        const auto label = [&] { return std::string(what) + " at slot " + std::to_string(leaf.slot); };
        leaf.value.dimension = dimension_of(in, label);
        for (int i = 0; i < leaf.value.dimension; ++i) leaf.value.lanes[static_cast<std::size_t>(i)] = in.f64();
        if (!std::all_of(leaf.value.lanes.begin(), leaf.value.lanes.begin() + leaf.value.dimension,
                         is_finite_lane)) {
            invalid(label() + " is not finite");
        }
    }
    return leaves;
}

std::vector<std::uint8_t> write(const Form& form) {
    Writer out;
    out.bytes(kMagic.data(), kMagic.size());
    out.u32(kVersion);
    for (const std::size_t size : {static_cast<std::size_t>(form.slot_count), form.input_dimensions.size(),
                                   form.constants.size(), form.parameters.size(), form.steps.size(),
                                   form.outputs.size()}) {
        out.u32(static_cast<std::uint32_t>(size));
    }
    for (const std::uint8_t dimension : form.input_dimensions) out.u8(dimension);
    write_leaves(out, form.constants);
    write_leaves(out, form.parameters);
    for (const Step& step : form.steps) {
        out.u8(static_cast<std::uint8_t>(step.op));
        out.u8(step.dimension);
        out.u8(step.operand_count);
        out.u8(step.lane);
        out.u32(step.out);
        for (int k = 0; k < step.operand_count; ++k) out.u32(step.operand[static_cast<std::size_t>(k)]);
    }
    for (const std::uint32_t slot : form.outputs) out.u32(slot);
    return out.take();
}

// The fields as they stand; what they mean is checked by `check`.
Form read(const std::uint8_t* data, std::size_t size) {
    if (size < kHeaderBytes) {
        invalid("truncated: " + std::to_string(size) + " bytes, the header alone takes " +
                std::to_string(kHeaderBytes));
    }
    Reader in(data, size);
    if (std::memcmp(in.take(kMagic.size()), kMagic.data(), kMagic.size()) != 0) {
        invalid("wrong magic, these bytes are not a saved Function");
    }
    const std::uint32_t version = in.u32();
    if (version != kVersion) {
        invalid("format version " + std::to_string(version) + ", this build reads version " +
                std::to_string(kVersion));
    }
    Form form;
    form.slot_count = in.u32();
    const std::uint32_t inputs = in.u32();
    const std::uint32_t constants = in.u32();
    const std::uint32_t parameters = in.u32();
    const std::uint32_t steps = in.u32();
    const std::uint32_t outputs = in.u32();
    if (static_cast<std::uint64_t>(inputs) + constants + parameters + steps != form.slot_count) {
        invalid("inconsistent sizes: " + std::to_string(form.slot_count) + " slots for " + std::to_string(inputs) +
                " inputs, " + std::to_string(constants) + " constants, " + std::to_string(parameters) +
                " parameters and " + std::to_string(steps) + " instructions");
    }
    if (outputs == 0) {
        invalid("no outputs");
    }

    form.input_dimensions.resize(in.count(inputs, 1, "inputs"));
    for (std::uint32_t k = 0; k < inputs; ++k) {
        form.input_dimensions[k] = dimension_of(in, [k] { return "input " + std::to_string(k); });
    }
    form.constants = read_leaves(in, in.count(constants, kLeafBytes, "constants"), "constant");
    form.parameters = read_leaves(in, in.count(parameters, kLeafBytes, "parameters"), "parameter");
    form.steps.resize(in.count(steps, kInstructionBytes, "instructions"));
    for (std::size_t k = 0; k < form.steps.size(); ++k) {
        Step& step = form.steps[k];
        const std::uint8_t op = in.u8();
        step.op = static_cast<ExpressionOp>(op);
        step.dimension = dimension_of(in, [k] { return "instruction " + std::to_string(k); });
        step.operand_count = in.u8();
        step.lane = in.u8();
        step.out = in.u32();
        step.operand = {0, 0, 0, 0};
        if (step.operand_count < 1 || step.operand_count > 4) {
            invalid("instruction " + std::to_string(k) + " has " + std::to_string(step.operand_count) +
                    " operands, expected 1..4");
        }
        for (int i = 0; i < step.operand_count; ++i) step.operand[static_cast<std::size_t>(i)] = in.u32();
    }
    form.outputs.resize(in.count(outputs, 4, "outputs"));
    for (std::uint32_t& slot : form.outputs) slot = in.u32();
    if (in.left() != 0) {
        invalid(std::to_string(in.left()) + " trailing bytes after the form");
    }
    return form;
}

// --- What the fields mean ----------------------------------------------------

enum class SlotKind : std::uint8_t { Unset, Input, Constant, Parameter, Instruction };

struct SlotInfo {
    SlotKind kind = SlotKind::Unset;
    std::uint8_t dimension = 0;
    // The instruction that writes an Instruction slot.
    std::uint32_t step = 0;
};

// The operand count `op` takes: its rule's, or a Pack's 2..4 (0 when the
// count is not one of them), 1 for a Component; -1 for no operator.
int operands_of(ExpressionOp op, int count) {
    switch (op) {
        case ExpressionOp::Pack: return count >= 2 && count <= 4 ? count : 0;
        case ExpressionOp::Component: return 1;
        default: {
            const int operands = rule_operands(op);
            return operands == 0 ? -1 : operands;
        }
    }
}

// The dimension an instruction's operands give it, as the graph's builders
// make it; 0 when they do not fit together.
int dimension_from(const Step& step, const std::vector<SlotInfo>& slots) {
    const auto dimension = [&](int k) { return static_cast<int>(slots[step.operand[static_cast<std::size_t>(k)]].dimension); };
    switch (step.op) {
        case ExpressionOp::Pack:
            for (int k = 0; k < step.operand_count; ++k) {
                if (dimension(k) != 1) return 0;
            }
            return step.operand_count;
        case ExpressionOp::Component: return step.lane < dimension(0) ? 1 : 0;
        default:
            if (step.operand_count == 1) return dimension(0);
            if (dimension(0) == dimension(1) || dimension(0) == 1) return dimension(1);
            return dimension(1) == 1 ? dimension(0) : 0;
    }
}

void place(std::vector<SlotInfo>& slots, std::uint32_t slot, std::uint32_t& last, SlotInfo info, const char* what) {
    if (slot < last || slot >= slots.size()) {
        invalid(std::string(what) + " slot " + std::to_string(slot) + " is out of range or out of order");
    }
    if (slots[slot].kind != SlotKind::Unset) {
        invalid("slot " + std::to_string(slot) + " is written twice");
    }
    slots[slot] = info;
    last = slot + 1;
}

// Every check a Function's own tape passes, so that rebuilding and
// compiling cannot fail and gives this tape again.
void check(const Form& form) {
    const std::size_t inputs = form.input_dimensions.size();
    std::vector<SlotInfo> slots(form.slot_count);
    for (std::size_t k = 0; k < inputs; ++k) {
        slots[k] = {SlotKind::Input, form.input_dimensions[k], 0};
    }
    for (const auto& [leaves, kind, what] :
         {std::tuple{&form.constants, SlotKind::Constant, "constant"},
          std::tuple{&form.parameters, SlotKind::Parameter, "parameter"}}) {
        auto last = static_cast<std::uint32_t>(inputs);
        for (const Leaf& leaf : *leaves) {
            place(slots, leaf.slot, last, {kind, static_cast<std::uint8_t>(leaf.value.dimension), 0}, what);
        }
    }
    auto last = static_cast<std::uint32_t>(inputs);
    for (std::uint32_t k = 0; k < form.steps.size(); ++k) {
        const Step& step = form.steps[k];
        const auto label = [k] { return "instruction " + std::to_string(k); };
        const int operands = operands_of(step.op, step.operand_count);
        if (operands < 0) {
            invalid(label() + " has an unknown operator code " + std::to_string(static_cast<int>(step.op)));
        }
        if (operands != step.operand_count) {
            invalid(label() + " (" + to_string(step.op) + ") has " + std::to_string(step.operand_count) +
                    " operands, expected " + (operands == 0 ? std::string("2..4") : std::to_string(operands)));
        }
        if (step.lane != 0 && step.op != ExpressionOp::Component) {
            invalid(label() + " (" + to_string(step.op) + ") names lane " + std::to_string(step.lane));
        }
        place(slots, step.out, last, {SlotKind::Instruction, step.dimension, k}, "instruction");
        for (int i = 0; i < step.operand_count; ++i) {
            const std::uint32_t operand = step.operand[static_cast<std::size_t>(i)];
            if (operand >= step.out) {
                invalid(label() + " reads slot " + std::to_string(operand) + ", not before its own slot " +
                        std::to_string(step.out));
            }
            if (slots[operand].kind == SlotKind::Unset) {
                invalid(label() + " reads slot " + std::to_string(operand) + ", which nothing writes");
            }
        }
        if (dimension_from(step, slots) != step.dimension) {
            invalid(label() + " (" + to_string(step.op) + ") has dimension " + std::to_string(step.dimension) +
                    ", which its operands do not give");
        }
    }
    for (std::size_t slot = inputs; slot < slots.size(); ++slot) {
        if (slots[slot].kind == SlotKind::Unset) {
            invalid("slot " + std::to_string(slot) + " is written by nothing");
        }
    }

    // The order: compiling numbers the slots in the depth-first post-order
    // of the outputs in turn, a slot marked on entry; so must the form.
    std::vector<bool> seen(slots.size(), false);
    std::fill(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(inputs), true);
    auto next = static_cast<std::uint32_t>(inputs);
    struct Frame {
        std::uint32_t slot;
        int next_operand;
    };
    std::vector<Frame> stack;
    const auto enter = [&](std::uint32_t slot) {
        if (!seen[slot]) {
            seen[slot] = true;
            stack.push_back({slot, 0});
        }
    };
    for (const std::uint32_t output : form.outputs) {
        if (output >= slots.size()) {
            invalid("output slot " + std::to_string(output) + " is out of range");
        }
        enter(output);
        while (!stack.empty()) {
            Frame& top = stack.back();
            const SlotInfo& info = slots[top.slot];
            const Step* step = info.kind == SlotKind::Instruction ? &form.steps[info.step] : nullptr;
            if (step != nullptr && top.next_operand < step->operand_count) {
                enter(step->operand[static_cast<std::size_t>(top.next_operand++)]);
                continue;
            }
            if (top.slot != next++) {
                invalid("slot " + std::to_string(top.slot) +
                        " is not in the depth-first order of the outputs");
            }
            stack.pop_back();
        }
    }
    if (next != slots.size()) {
        invalid("slot " + std::to_string(next) + " is not reached from any output");
    }
}

}  // namespace

namespace detail {

// The one place that reads a Function's tape into the form. The tape keeps
// lanes, not nodes: the inputs' first, then the constants', the
// Parameters' and the instructions' results, each group in the depth-first
// order of the outputs. A node's slot is its place in that order across
// the groups, found again by walking the tape from the outputs as
// compiling walked the graph.
struct TapeAccess {
    static Form form(const Function& f) {
        constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
        const auto parameters_at = static_cast<std::uint32_t>(f.input_lanes_ + f.constant_lanes_.size());
        std::uint32_t expressions_at = parameters_at;
        for (const auto& parameter : f.parameters_) {
            expressions_at += static_cast<std::uint32_t>(parameter.item.node().dimension);
        }
        // The Parameter or instruction whose lanes start at a lane.
        std::vector<std::uint32_t> owner(f.lane_count_, kNone);
        for (std::size_t p = 0; p < f.parameters_.size(); ++p) {
            owner[f.parameters_[p].lane] = static_cast<std::uint32_t>(p);
        }
        for (std::size_t k = 0; k < f.code_.size(); ++k) {
            owner[f.code_[k].out] = static_cast<std::uint32_t>(k);
        }
        // An instruction's operands as (first lane, lanes).
        using Operands = std::array<std::pair<std::uint32_t, int>, 4>;
        const auto operands_of = [](const Instruction& in, Operands& read) {
            switch (in.op) {
                case ExpressionOp::Pack:
                    for (int k = 0; k < in.extra; ++k) read[static_cast<std::size_t>(k)] = {in.operand[k], 1};
                    return in.extra;
                case ExpressionOp::Component: read[0] = {in.operand[0], in.left_dimension}; return 1;
                default:
                    read[0] = {in.operand[0], in.left_dimension};
                    read[1] = {in.operand[1], in.right_dimension};
                    return rule_operands(in.op);
            }
        };

        Form form;
        // The slot of a node, by its first lane, once the walk has left it.
        std::vector<std::uint32_t> slot_of(f.lane_count_, kNone);
        std::vector<bool> entered(f.lane_count_, false);
        std::uint32_t next = 0;
        std::uint32_t lane = 0;
        for (const Value& input : f.inputs_) {
            form.input_dimensions.push_back(static_cast<std::uint8_t>(input.node().dimension));
            slot_of[lane] = next++;
            entered[lane] = true;
            lane += static_cast<std::uint32_t>(input.node().dimension);
        }
        struct Frame {
            std::uint32_t lane;
            int dimension;
            int next_operand;
        };
        std::vector<Frame> stack;
        const auto enter = [&](std::uint32_t at, int dimension) {
            if (!entered[at]) {
                entered[at] = true;
                stack.push_back({at, dimension, 0});
            }
        };
        const auto finish = [&](const Frame& frame) {
            const std::uint32_t slot = next++;
            slot_of[frame.lane] = slot;
            if (frame.lane < parameters_at) {
                Leaf leaf{slot, {}};
                leaf.value.dimension = frame.dimension;
                std::copy_n(f.constant_lanes_.begin() + (frame.lane - f.input_lanes_), frame.dimension,
                            leaf.value.lanes.begin());
                form.constants.push_back(leaf);
                return;
            }
            if (frame.lane < expressions_at) {
                form.parameters.push_back({slot, f.parameters_[owner[frame.lane]].item.node().value});
                return;
            }
            const Instruction& in = f.code_[owner[frame.lane]];
            Operands read{};
            const int count = operands_of(in, read);
            Step step{in.op, in.dimension, static_cast<std::uint8_t>(count), 0, slot, {0, 0, 0, 0}};
            if (in.op == ExpressionOp::Component) step.lane = static_cast<std::uint8_t>(in.extra);
            for (int k = 0; k < count; ++k) {
                step.operand[static_cast<std::size_t>(k)] = slot_of[read[static_cast<std::size_t>(k)].first];
            }
            form.steps.push_back(step);
        };
        for (std::size_t k = 0; k < f.outputs_.size(); ++k) {
            enter(f.output_at_[k], f.outputs_[k].node().dimension);
            while (!stack.empty()) {
                Frame& top = stack.back();
                if (top.lane >= expressions_at) {
                    Operands read{};
                    if (top.next_operand < operands_of(f.code_[owner[top.lane]], read)) {
                        const auto [at, dimension] = read[static_cast<std::size_t>(top.next_operand++)];
                        enter(at, dimension);
                        continue;
                    }
                }
                const Frame done = top;
                stack.pop_back();
                finish(done);
            }
        }
        form.slot_count = next;
        for (const std::uint32_t at : f.output_at_) form.outputs.push_back(slot_of[at]);
        return form;
    }
};

}  // namespace detail

std::vector<std::uint8_t> function_to_bytes(const Function& function) {
    return write(detail::TapeAccess::form(function));
}

Function function_from_bytes(const std::uint8_t* data, std::size_t size, bool one_output, bool one_input) {
    const Form form = read(data, size);
    check(form);
    if (one_output && form.outputs.size() != 1) {
        invalid(std::to_string(form.outputs.size()) + " outputs, expected 1");
    }
    if (one_input && form.input_dimensions.size() != 1) {
        invalid(std::to_string(form.input_dimensions.size()) + " inputs, expected 1");
    }
    // Nothing below can refuse the form: the first node is made only now.
    std::vector<Value> slot(form.slot_count);
    std::vector<Value> inputs;
    inputs.reserve(form.input_dimensions.size());
    for (const std::uint8_t dimension : form.input_dimensions) {
        inputs.push_back(undefined(dimension, ""));
        slot[inputs.size() - 1] = inputs.back();
    }
    for (const Leaf& leaf : form.constants) slot[leaf.slot] = constant(leaf.value);
    for (const Leaf& leaf : form.parameters) slot[leaf.slot] = parameter(leaf.value, "");
    for (const Step& step : form.steps) {
        std::array<Value, 4> operands{};
        for (int k = 0; k < step.operand_count; ++k) {
            operands[static_cast<std::size_t>(k)] = slot[step.operand[static_cast<std::size_t>(k)]];
        }
        slot[step.out] = make_expression(step.op, step.dimension, std::move(operands), step.operand_count,
                                         step.op == ExpressionOp::Component ? step.lane : -1);
    }
    std::vector<Value> outputs;
    outputs.reserve(form.outputs.size());
    for (const std::uint32_t output : form.outputs) outputs.push_back(slot[output]);
    Function function(std::move(outputs), std::move(inputs));
    if (!(detail::TapeAccess::form(function) == form)) {
        throw std::logic_error("a loaded Function compiled to another tape");
    }
    return function;
}

}  // namespace varnel::symbolic
