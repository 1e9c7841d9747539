// The whitening keywords (std_ddof, count_epsilon, epsilon, shift_mean,
// unmasked, float32_counts): converted and checked once for every function
// that whitens, and the whitening itself with its error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/py.h"
#include "failure/messages.h"
#include "kernels/masked_kernels.h"

namespace qrl::binding::functions {

struct WhiteningOptions {
    kernels::MaskedStatistics statistics;  // std_ddof, count_epsilon, float32_counts
    double epsilon = 1e-8;
    bool shift_mean = true;
    kernels::Unmasked unmasked = kernels::Unmasked::Whitened;
};

inline constexpr int kWhiteningKeywords = 6;
#define QRL_WHITENING_KEYWORDS "std_ddof", "count_epsilon", "epsilon", "shift_mean", "unmasked", "float32_counts"

// From the six slots of the keywords above, in that order (absent ones keep
// their defaults).
inline bool convert_whitening(const py::Ref* slot, const char* function, WhiteningOptions* options) {
    std::int64_t ddof = 1;
    std::string_view unmasked = "whitened";
    if (!convert_if_given(slot[0], to_int64, "std_ddof", &ddof) ||
        !convert_if_given(slot[1], to_double, "count_epsilon", &options->statistics.count_epsilon) ||
        !convert_if_given(slot[2], to_double, "epsilon", &options->epsilon) ||
        !convert_if_given(slot[3], to_bool, "shift_mean", &options->shift_mean) ||
        !convert_if_given(slot[4], to_utf8, "unmasked", &unmasked) ||
        !convert_if_given(slot[5], to_bool, "float32_counts", &options->statistics.float32_counts))
        return false;
    if (ddof != 0 && ddof != 1) {
        PyErr_Format(PyExc_ValueError, messages::kBadDdof, function, static_cast<long long>(ddof));
        return false;
    }
    options->statistics.ddof = ddof;
    if (!kernels::unmasked_from_name(unmasked, &options->unmasked)) {
        PyErr_Format(PyExc_ValueError, messages::kUnknownUnmasked, std::string(unmasked).c_str());
        return false;
    }
    return true;
}

// The mean and variance the whitening uses; ValueError when the mask keeps
// too few.  `known`: the values' blocks' kept sums, already gathered.
inline bool whitening_moments(const numeric::ValueMatrix& values, const numeric::FlagMatrix& mask,
                              const WhiteningOptions& options, const char* function, kernels::Moments* moments,
                              const kernels::BlockSums* known = nullptr) {
    if (kernels::masked_moments(values, mask, options.statistics, moments, known)) return true;
    PyErr_Format(PyExc_ValueError, messages::kTooFewMasked, function, static_cast<long long>(moments->count),
                 static_cast<long long>(options.statistics.ddof));
    return false;
}

inline void whiten(const numeric::ValueMatrix& values, const numeric::FlagMatrix& mask, const kernels::Moments& moments,
                   const WhiteningOptions& options, const numeric::OutputMatrix& out) {
    kernels::masked_whitening(values, mask, moments, options.epsilon, options.shift_mean, options.unmasked, out);
}

}  // namespace qrl::binding::functions
