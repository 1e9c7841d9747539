// This target's table of vector kernels (compiled once per target).
#include "kernels/vector_ranges.h"

#define QRL_STRINGIFY_NAME(name) #name
#define QRL_TARGET_NAME(name) QRL_STRINGIFY_NAME(name)

namespace qrl::kernels::QRL_TARGET {

const VectorKernels table = {
    QRL_TARGET_NAME(QRL_TARGET),
    QRL_LANES,
    gspo_clipping_range,
    ppo_surrogate_range,
    standardize,
    clamp,
    min_max,
    groups_range,
    gae_side_by_side,
    matrix_range,
    ragged_range,
};

}  // namespace qrl::kernels::QRL_TARGET
