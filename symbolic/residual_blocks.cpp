// The blocks of a least-squares problem: a walk of each residual's cone for
// the unknowns it reaches, and a small compiled function per block for its
// rows of the Jacobian.
#include "symbolic/detail/residual_blocks.h"

#include <algorithm>
#include <cstring>

#include "symbolic/detail/id_map.h"

namespace varnel::symbolic {

ResidualBlocks::ResidualBlocks(const Function& function) {
    const std::vector<Value>& inputs = function.inputs();
    const std::vector<Value>& outputs = function.outputs();
    IdMap<std::uint32_t> unknown_of(inputs.size() + 1);
    column_start_.reserve(inputs.size() + 1);
    column_start_.push_back(0);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        unknown_of.try_emplace(inputs[k].id(), static_cast<std::uint32_t>(k));
        column_start_.push_back(column_start_.back() + inputs[k].dimension());
    }

    // One table for every walk: a node's entry is the last block that
    // reached it, plus one, so no walk has to clear what the last one left.
    IdMap<std::size_t> seen_by(function.instruction_count() + inputs.size() + 16);
    std::vector<const ValueNode*> stack;
    std::vector<std::uint32_t> reached;
    unknown_start_.reserve(outputs.size() + 1);
    row_start_.reserve(outputs.size() + 1);
    row_width_.reserve(outputs.size());
    unknown_start_.push_back(0);
    row_start_.push_back(0);
    for (std::size_t b = 0; b < outputs.size(); ++b) {
        const std::size_t stamp = b + 1;
        reached.clear();
        auto visit = [&](const ValueNode& node) {
            auto [entry, inserted] = seen_by.try_emplace(node.id, stamp);
            if (inserted || *entry != stamp) {
                *entry = stamp;
                stack.push_back(&node);
            }
        };
        visit(outputs[b].node());
        while (!stack.empty()) {
            const ValueNode& node = *stack.back();
            stack.pop_back();
            if (const std::uint32_t* k = unknown_of.find(node.id)) {
                reached.push_back(*k);
                continue;
            }
            for (int i = 0; i < node.input_count; ++i) {
                visit(node.inputs[static_cast<std::size_t>(i)].node());
            }
        }
        std::sort(reached.begin(), reached.end());
        int width = 0;
        for (std::uint32_t k : reached) {
            width += inputs[k].dimension();
        }
        unknowns_.insert(unknowns_.end(), reached.begin(), reached.end());
        unknown_start_.push_back(unknowns_.size());
        const int lanes = outputs[b].dimension();
        row_start_.push_back(row_start_.back() + lanes);
        row_width_.push_back(width);
        nonzeros_ += static_cast<std::int64_t>(lanes) * width;
    }
}

BlockJacobian::BlockJacobian(const Function& function, const ResidualBlocks& blocks) : blocks_(blocks) {
    const std::vector<Value>& inputs = function.inputs();
    const std::vector<Value>& outputs = function.outputs();
    pattern_.rows = blocks.rows();
    pattern_.columns = blocks.columns();
    pattern_.row_starts.reserve(static_cast<std::size_t>(pattern_.rows) + 1);
    pattern_.row_starts.push_back(0);
    pattern_.column_indices.reserve(static_cast<std::size_t>(blocks.nonzeros()));
    std::vector<Value> unknowns;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        unknowns.clear();
        for (const std::uint32_t* k = blocks.unknowns_begin(b); k != blocks.unknowns_end(b); ++k) {
            unknowns.push_back(inputs[*k]);
        }
        if (!unknowns.empty()) {
            functions_.emplace_back(std::vector<Value>{outputs[b]}, unknowns);
            block_of_.push_back(b);
        }
        for (int row = 0; row < blocks.row_count(b); ++row) {
            for (const std::uint32_t* k = blocks.unknowns_begin(b); k != blocks.unknowns_end(b); ++k) {
                for (int lane = 0; lane < inputs[*k].dimension(); ++lane) {
                    pattern_.column_indices.push_back(blocks.column_start(*k) + lane);
                }
            }
            pattern_.row_starts.push_back(static_cast<std::int64_t>(pattern_.column_indices.size()));
        }
    }
    pattern_.values.assign(pattern_.column_indices.size(), 0.0);
}

void BlockJacobian::evaluate(const Eigen::VectorXd& x, std::vector<double>& values) const {
    values.assign(pattern_.column_indices.size(), 0.0);
    std::vector<SmallValue> point;
    for (std::size_t f = 0; f < functions_.size(); ++f) {
        const std::size_t b = block_of_[f];
        point.clear();
        for (const std::uint32_t* k = blocks_.unknowns_begin(b); k != blocks_.unknowns_end(b); ++k) {
            SmallValue value;
            value.dimension = blocks_.column_start(*k + 1) - blocks_.column_start(*k);
            for (int lane = 0; lane < value.dimension; ++lane) {
                value.lanes[static_cast<std::size_t>(lane)] = x(blocks_.column_start(*k) + lane);
            }
            point.push_back(value);
        }
        // Rows of the block's lanes, each as wide as the pattern's rows.
        const std::vector<double> rows = functions_[f].jacobian(point);
        std::memcpy(values.data() + pattern_.row_starts[static_cast<std::size_t>(blocks_.row_start(b))],
                    rows.data(), rows.size() * sizeof(double));
    }
}

}  // namespace varnel::symbolic
