// The robust losses, defined on the squared scaled residual z as they are
// commonly written, so that f_scale means the same as elsewhere.
#include "symbolic/detail/loss.h"

#include <cmath>
#include <stdexcept>

namespace varnel::symbolic {

const char* to_string(Loss loss) noexcept {
    switch (loss) {
        case Loss::Linear: return "linear";
        case Loss::Huber: return "huber";
        case Loss::SoftL1: return "soft_l1";
        case Loss::Cauchy: return "cauchy";
        case Loss::Arctan: return "arctan";
    }
    return "unknown";
}

Loss loss_from_string(const std::string& name) {
    for (Loss loss : {Loss::Linear, Loss::Huber, Loss::SoftL1, Loss::Cauchy, Loss::Arctan}) {
        if (name == to_string(loss)) {
            return loss;
        }
    }
    throw std::invalid_argument("loss must be one of linear, huber, soft_l1, cauchy, arctan, got '" +
                                name + "'");
}

LossTerms loss_terms(Loss loss, double z) {
    switch (loss) {
        case Loss::Linear: return {z, 1.0};
        case Loss::Huber:
            if (z <= 1.0) {
                return {z, 1.0};
            } else {
                const double root = std::sqrt(z);
                return {2.0 * root - 1.0, 1.0 / root};
            }
        case Loss::SoftL1: {
            // 2 (sqrt(1 + z) - 1), written without the cancellation at small z.
            const double root = std::sqrt(1.0 + z);
            return {2.0 * z / (root + 1.0), 1.0 / root};
        }
        case Loss::Cauchy: return {std::log1p(z), 1.0 / (1.0 + z)};
        case Loss::Arctan: return {std::atan(z), 1.0 / (1.0 + z * z)};
    }
    return {z, 1.0};
}

}  // namespace varnel::symbolic
