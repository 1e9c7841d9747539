// Generalized Advantage Estimation over a padded batch: each row holds one
// or more episodes, cut by per-step flags, and may hold padding or steps to
// skip.  Inputs of float32 or float64 are read in place; the arithmetic is
// double precision, and each result is rounded once to its destination.
#pragma once

#include <cstdint>

#include "numeric/arrays.h"
#include "numeric/flags.h"

namespace qrl::kernels {

using numeric::FlagMatrix;

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
    FlagMatrix mask;                    // unset: padding (cut) or a step to skip
    bool skip_masked = false;           // masked steps pass the carried advantage and next value through
};

// Advantages and returns (advantage + value).  A masked step gets 0.0 in
// both.  Rows run on the worker pool; each row's result does not depend on
// the thread count or on which rows share its lanes.
void padded_gae(const PaddedBatch& batch, double gamma, double lambda, const numeric::OutputMatrix& advantages,
                const numeric::OutputMatrix& returns);

}  // namespace qrl::kernels
