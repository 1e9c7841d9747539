// This target's table of vector kernels (compiled once per target).
#include "kernels/vector_ranges.h"

#define QRL_STRINGIFY_NAME(name) #name
#define QRL_TARGET_NAME(name) QRL_STRINGIFY_NAME(name)

namespace qrl::kernels::QRL_TARGET {

#define QRL_VECTOR_ENTRY(name, parameters) name,
const VectorKernels table = {QRL_TARGET_NAME(QRL_TARGET), QRL_LANES, QRL_VECTOR_KERNELS(QRL_VECTOR_ENTRY)};
#undef QRL_VECTOR_ENTRY

}  // namespace qrl::kernels::QRL_TARGET
