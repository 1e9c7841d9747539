// Generalized Advantage Estimation over a padded batch: each row holds one
// or more episodes, cut by per-step flags, and may hold padding or steps to
// skip.  Inputs of float32 or float64 are read in place; the arithmetic is
// double precision, and each result is rounded once to its destination.
#pragma once

#include <cstdint>
#include <string_view>

#include "kernels/masked_kernels.h"
#include "numeric/arrays.h"
#include "numeric/flags.h"

namespace qrl::kernels {

using numeric::FlagMatrix;

// What a masked step (mask unset) is.
enum class MaskMode {
    Cut,    // padding: advantage and return 0.0, the recursion restarts before it
    Skip,   // passes the carried advantage and the next value to the step before; its own results 0.0
    Carry,  // as Skip, but the step holds the advantage carried through it, and its return that plus its value
    Zero,   // its reward and value read as 0.0; the recursion runs through it and its results are kept
};

// "cut", "skip", "carry", "zero"; false for any other name.
bool mask_mode_from_name(std::string_view name, MaskMode* mode);

// Step t of row b: reward r[b, t] and the value v[b, t] of the state it
// starts from.  The value of the state it leads to is next_values[b, t]
// when that matrix is present; otherwise v[b, t + 1] within the row, and
// bootstrap[b] (0.0 when absent) after the row's last step and before a
// padded step.  At a truncated step final_values[b, t], when present,
// replaces it.  All value arrays share one precision.
struct PaddedBatch {
    numeric::ValueMatrix rewards;
    numeric::ValueMatrix values;
    numeric::ValueMatrix next_values;   // optional
    numeric::ValueMatrix final_values;  // optional: next value at truncated steps
    numeric::ValueRun bootstrap;        // optional, one per row (without next_values)
    FlagMatrix dones;                   // the episode ended at this step: no bootstrap, no carry
    FlagMatrix truncated;               // the episode was cut here: bootstrap, no carry
    FlagMatrix episode_starts;          // a step after this one's start: this step is done
    FlagMatrix last_dones;              // (rows, 1): the row's last step is done
    FlagMatrix mask;                    // unset: a masked step, handled as `mask_mode` says
    MaskMode mask_mode = MaskMode::Cut;
};

// Advantages and returns (advantage + value); `returns` may be absent (not
// written).  A masked step's results follow the mask mode.  Rows run on the worker pool; each row's result does not
// depend on the thread count or on which rows share its lanes.
// Rows are taken kPaddedGaeRows at a time, their recursions interleaved.
inline constexpr std::int64_t kPaddedGaeRows = 4;

// `sums` (optional): the advantages' kept sums over batch.mask (every step
// without one) by blocks, gathered while each block is in cache, for
// masked_moments.
void padded_gae(const PaddedBatch& batch, double gamma, double lambda, const numeric::OutputMatrix& advantages,
                const numeric::OutputMatrix& returns, const BlockSums* sums = nullptr);

}  // namespace qrl::kernels
