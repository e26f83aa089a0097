// Public interface of the value-graph library: lane values, nodes, handles,
// leaf factories, expression builders, evaluation and gradients.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace varnel {

// N contiguous doubles, component 0 first; an input form for lane values.
template <typename T, int N>
struct Vec {
    static_assert(N >= 1 && N <= 4, "Vec holds 1..4 components");
    std::array<T, N> data{};

    constexpr T& operator[](int i) { return data[static_cast<std::size_t>(i)]; }
    constexpr const T& operator[](int i) const { return data[static_cast<std::size_t>(i)]; }
};

namespace symbolic {

// A lane value: one to four doubles. The type itself enforces nothing;
// validity is checked where values enter the graph.
struct SmallValue {
    std::int32_t dimension = 0;
    std::array<double, 4> lanes{};

    // Lane `index`, which must be below `dimension`.
    double operator[](int index) const;
};

SmallValue small_value(std::initializer_list<double> lanes);
SmallValue small_value(double x);
SmallValue small_value(double x, double y);
SmallValue small_value(double x, double y, double z);
SmallValue small_value(double x, double y, double z, double w);
SmallValue small_value(const Vec<double, 1>& v);
SmallValue small_value(const Vec<double, 2>& v);
SmallValue small_value(const Vec<double, 3>& v);
SmallValue small_value(const Vec<double, 4>& v);

enum class ValueKind : std::uint8_t {
    Constant = 0,
    Parameter = 1,
    Undefined = 2,
    Expression = 3,
};

enum class ExpressionOp : std::uint8_t {
    None = 0,
    Pack = 1,
    Component = 2,
    Add = 3,
    Subtract = 4,
    Multiply = 5,
    Divide = 6,
    Negate = 7,
    Sin = 8,
    Cos = 9,
    // The elementary functions of symbolic/elementary.h.
    Sqrt = 10,
    Exp = 11,
    Log = 12,
    Tan = 13,
    Asin = 14,
    Acos = 15,
    Atan = 16,
    Sinh = 17,
    Cosh = 18,
    Tanh = 19,
    Abs = 20,
    Pow = 21,
    Atan2 = 22,
    Hypot = 23,
    Log1p = 24,
    Expm1 = 25,
    Cbrt = 26,
};

const char* to_string(ValueKind kind) noexcept;
const char* to_string(ExpressionOp op) noexcept;

struct ValueNode;

// Shared handle to a node. Every accessor except is_leaf and same_node
// refuses an empty handle.
class Value {
public:
    Value() = default;
    explicit Value(std::shared_ptr<ValueNode> node) noexcept;

    const ValueNode& node() const;
    ValueNode& mutable_node() const;

    std::uint64_t id() const;
    ValueKind kind() const;
    ExpressionOp op() const;
    int dimension() const;
    int component_index() const;
    const std::string& name() const;

    bool is_constant() const;
    bool is_parameter() const;
    bool is_undefined() const;
    bool is_expression() const;
    bool is_leaf() const noexcept;

    SmallValue value() const;
    bool has_hint() const;
    SmallValue hint() const;
    bool has_grad() const;
    SmallValue grad() const;

    int input_count() const;
    const Value& input(int index) const;
    bool same_node(const Value& other) const noexcept;

    void set_value(SmallValue value) const;
    std::string debug_string() const;

    // Evaluates everything below this value from the current leaf values.
    SmallValue evaluate() const;
    // Adds d(output)/d(parameter), contracted with the seed, into the
    // gradient of every Parameter below this value.
    void backward(SmallValue seed) const;
    void backward() const;
    void zero_grad() const;

private:
    std::shared_ptr<ValueNode> node_;
};

struct ValueNode {
    std::uint64_t id = 0;
    ValueKind kind = ValueKind::Constant;
    ExpressionOp op = ExpressionOp::None;
    std::int32_t dimension = 0;
    SmallValue value{};
    std::optional<SmallValue> hint{};
    std::string name{};
    std::array<Value, 4> inputs{};
    std::int32_t input_count = 0;
    std::int32_t component_index = -1;
    std::optional<SmallValue> grad{};

    ValueNode() = default;
    ValueNode(const ValueNode&) = delete;
    ValueNode& operator=(const ValueNode&) = delete;
    // Releases long input chains iteratively, so dropping a deep graph
    // cannot overflow the stack, and without allocating, so it works when
    // memory has run out.
    ~ValueNode();
};

// The accessors are inline: evaluation and gradients call them once per node
// and operand.
inline Value::Value(std::shared_ptr<ValueNode> node) noexcept : node_(std::move(node)) {}

inline const ValueNode& Value::node() const {
    if (!node_) {
        throw std::logic_error("invalid symbolic value handle");
    }
    return *node_;
}

inline ValueNode& Value::mutable_node() const {
    if (!node_) {
        throw std::logic_error("invalid symbolic value handle");
    }
    return *node_;
}

inline std::uint64_t Value::id() const { return node().id; }
inline ValueKind Value::kind() const { return node().kind; }
inline ExpressionOp Value::op() const { return node().op; }
inline int Value::dimension() const { return node().dimension; }
inline int Value::component_index() const { return node().component_index; }
inline const std::string& Value::name() const { return node().name; }
inline bool Value::is_constant() const { return node().kind == ValueKind::Constant; }
inline bool Value::is_parameter() const { return node().kind == ValueKind::Parameter; }
inline bool Value::is_undefined() const { return node().kind == ValueKind::Undefined; }
inline bool Value::is_expression() const { return node().kind == ValueKind::Expression; }
inline bool Value::is_leaf() const noexcept {
    return node_ && node_->kind != ValueKind::Expression;
}
inline bool Value::has_hint() const { return node().hint.has_value(); }
inline bool Value::has_grad() const { return node().grad.has_value(); }
inline int Value::input_count() const { return node().input_count; }
inline bool Value::same_node(const Value& other) const noexcept { return node_ == other.node_; }

inline const Value& Value::input(int index) const {
    const ValueNode& n = node();
    if (index < 0 || index >= n.input_count) {
        throw std::out_of_range("symbolic expression input index out of range");
    }
    return n.inputs[static_cast<std::size_t>(index)];
}

Value make_node(ValueKind kind, int dimension, SmallValue value,
                std::optional<SmallValue> hint, std::string name);
Value make_expression(ExpressionOp op, int dimension, std::array<Value, 4> inputs,
                      int input_count, int component_index);

Value constant(SmallValue value);
Value constant(std::initializer_list<double> lanes);
Value constant(double x);
Value constant(double x, double y);
Value constant(double x, double y, double z);
Value constant(double x, double y, double z, double w);
Value constant(const Vec<double, 1>& v);
Value constant(const Vec<double, 2>& v);
Value constant(const Vec<double, 3>& v);
Value constant(const Vec<double, 4>& v);

Value parameter(SmallValue value, std::string name);
Value parameter(std::initializer_list<double> lanes, std::string name);
Value parameter(double x, std::string name);
Value parameter(double x, double y, std::string name);
Value parameter(double x, double y, double z, std::string name);
Value parameter(double x, double y, double z, double w, std::string name);
Value parameter(const Vec<double, 1>& v, std::string name);
Value parameter(const Vec<double, 2>& v, std::string name);
Value parameter(const Vec<double, 3>& v, std::string name);
Value parameter(const Vec<double, 4>& v, std::string name);

Value undefined(int dimension, std::string name);

Value undefined_with_hint(SmallValue hint, std::string name);
Value undefined_with_hint(std::initializer_list<double> lanes, std::string name);
Value undefined_with_hint(double x, std::string name);
Value undefined_with_hint(double x, double y, std::string name);
Value undefined_with_hint(double x, double y, double z, std::string name);
Value undefined_with_hint(double x, double y, double z, double w, std::string name);
Value undefined_with_hint(const Vec<double, 1>& v, std::string name);
Value undefined_with_hint(const Vec<double, 2>& v, std::string name);
Value undefined_with_hint(const Vec<double, 3>& v, std::string name);
Value undefined_with_hint(const Vec<double, 4>& v, std::string name);

Value operator+(Value left, Value right);
Value operator-(Value left, Value right);
Value operator*(Value left, Value right);
Value operator/(Value left, Value right);
Value operator+(Value left, double right);
Value operator-(Value left, double right);
Value operator*(Value left, double right);
Value operator/(Value left, double right);
Value operator+(double left, Value right);
Value operator-(double left, Value right);
Value operator*(double left, Value right);
Value operator/(double left, Value right);
Value operator-(Value operand);
Value sin(Value operand);
Value cos(Value operand);
Value component(Value operand, int index);
Value vec2(Value x, Value y);
Value vec3(Value x, Value y, Value z);
Value vec4(Value x, Value y, Value z, Value w);

}  // namespace symbolic
}  // namespace varnel
