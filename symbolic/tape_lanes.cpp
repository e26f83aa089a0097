// A forward pass of a Function's whole tape into lanes kept for one solve.
#include "symbolic/detail/tape_lanes.h"

#include <algorithm>
#include <cstring>

#include "symbolic/detail/checks.h"
#include "symbolic/detail/tape.h"
#include "symbolic/detail/tape_passes.h"

namespace varnel::symbolic {

TapeLanes::TapeLanes(const Function& function) : function_(function), values_(function.lane_count_) {
    output_lanes_.reserve(static_cast<std::size_t>(function.output_lanes_));
    for (std::size_t k = 0; k < function.outputs_.size(); ++k) {
        for (int i = 0; i < function.outputs_[k].dimension(); ++i) {
            output_lanes_.push_back(function.output_at_[k] + static_cast<std::uint32_t>(i));
        }
    }
}

void TapeLanes::forward(const Eigen::VectorXd& x, bool keep_derivatives) {
    const Function& f = function_;
    whole_ = false;
    // Function::evaluate checks every input lane before its pass, also
    // those no residual reads.
    for (Eigen::Index i = 0; i < x.size(); ++i) {
        if (!is_finite_lane(x(i))) {
            refuse_lanes_not_finite();
        }
    }
    double* v = values_.data();
    std::copy(f.constant_lanes_.begin(), f.constant_lanes_.end(), v + f.input_lanes_);
    for (const auto& parameter : f.parameters_) {
        const ValueNode& node = parameter.item.node();
        std::copy(node.value.lanes.begin(), node.value.lanes.begin() + node.dimension, v + parameter.lane);
    }
    std::copy(x.data(), x.data() + x.size(), v);
    if (keep_derivatives) {
        kept_.resize(values_.size());
    }
    const detail::Instruction* code = f.code_.data();
    if (!run_forward(code, code + f.code_.size(), v, keep_derivatives ? kept_.data() : nullptr, OneRow{})) {
        refuse_lanes_not_finite();
    }
    whole_ = true;
    kept_whole_ = keep_derivatives;
}

void TapeLanes::outputs(double* r) const {
    for (std::size_t i = 0; i < output_lanes_.size(); ++i) {
        r[i] = values_[output_lanes_[i]];
    }
}

bool TapeLanes::kept_at(const Eigen::VectorXd& x) const {
    const Function& f = function_;
    if (!whole_ || !kept_whole_ ||
        std::memcmp(values_.data(), x.data(), static_cast<std::size_t>(x.size()) * sizeof(double)) != 0) {
        return false;
    }
    // A callback between two calls may have set a Parameter's value.
    return std::all_of(f.parameters_.begin(), f.parameters_.end(), [&](const auto& parameter) {
        const ValueNode& node = parameter.item.node();
        return std::memcmp(values_.data() + parameter.lane, node.value.lanes.data(),
                           static_cast<std::size_t>(node.dimension) * sizeof(double)) == 0;
    });
}

}  // namespace varnel::symbolic
