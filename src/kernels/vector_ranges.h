// The vector kernels of one instruction set, declared inside its namespace
// for the sources that are compiled once per target.
#pragma once

#include "kernels/vector_kernels.h"
#include "numeric/vector_target.h"

namespace qrl::kernels::QRL_TARGET {

#define QRL_VECTOR_DECLARATION(name, parameters) void name parameters;
QRL_VECTOR_KERNELS(QRL_VECTOR_DECLARATION)
#undef QRL_VECTOR_DECLARATION

extern const VectorKernels table;

}  // namespace qrl::kernels::QRL_TARGET
