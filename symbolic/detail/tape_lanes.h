// A Function's lanes after a forward pass of its whole tape at a point
// given as one vector of all the inputs' lanes: what a solve's residual
// evaluations run, with no vectors of values in or out, and what its block
// Jacobian's reverse passes read at the same point. Internal: not
// installed.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <vector>

#include "symbolic/function.h"

namespace varnel::symbolic {

// One solve's scratch: it lives as long as the solve's model and is
// reused by every pass, lane_count numbers for the values and as many for
// the kept derivatives once a pass keeps them.
class TapeLanes {
public:
    explicit TapeLanes(const Function& function);

    // A pass at x (every input lane), the Parameters that are not inputs
    // read at their current values; with keep_derivatives it also keeps
    // the derivatives the reverse passes read. Refuses what
    // Function::evaluate refuses, with its class and message: a lane that
    // is not finite in x or anywhere in the graph.
    void forward(const Eigen::VectorXd& x, bool keep_derivatives);
    // The outputs' lanes of the last pass, output after output, into r
    // (output_lanes() numbers).
    void outputs(double* r) const;
    // Whether the lanes are those of a pass that kept the derivatives at x,
    // bit for bit, with the Parameters at the values they have now.
    bool kept_at(const Eigen::VectorXd& x) const;

    const double* values() const noexcept { return values_.data(); }
    const double* kept() const noexcept { return kept_.data(); }

private:
    const Function& function_;
    std::vector<double> values_;
    std::vector<double> kept_;
    // The value lane of each output lane, in order.
    std::vector<std::uint32_t> output_lanes_;
    // The last pass succeeded, and kept the derivatives.
    bool whole_ = false;
    bool kept_whole_ = false;
};

}  // namespace varnel::symbolic
