// compute_gspo_importance_ratios, apply_gspo_clipping, compute_ppo_surrogate.
#include <algorithm>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/entry_points.h"
#include "binding/results.h"
#include "kernels/policy_kernels.h"

namespace qrl::binding {
namespace {

// Views of the two leading float64 vectors (ratios and advantages, or the
// two log-probability arrays), contiguity tested in order.
bool view_pair(const Slots& slot, const char* first, const char* second, VectorView* a, VectorView* b) {
    return view_vector(slot[0].get(), Element::Float64, first, a) &&
           view_vector(slot[1].get(), Element::Float64, second, b) && require_contiguous(*a) && require_contiguous(*b);
}

// The common tail of the ratio/advantage functions: views, the shorter
// length, the result array, and the kernel writing into it.
template <class Kernel>
PyObject* ratio_advantage_result(const Slots& slot, Kernel kernel) {
    VectorView ratios, advantages;
    if (!view_pair(slot, "ratios", "advantages", &ratios, &advantages)) return nullptr;
    const std::int64_t n = std::min(ratios.size, advantages.size);
    double* out = nullptr;
    py::Ref result = new_float64_vector(n, &out);
    if (!result) return nullptr;
    kernel(ratios.doubles(), advantages.doubles(), n, out);
    return result.release();
}

bool check_pair(const Slots& slot, const char* first, const char* second) {
    return check_array(slot[0].get(), 1, Element::Float64, first) &&
           check_array(slot[1].get(), 1, Element::Float64, second);
}

}  // namespace

PyObject* compute_gspo_importance_ratios(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{
        "compute_gspo_importance_ratios", {"log_probs_new", "log_probs_old", "sequence_lengths"}, 3, 3};
    Slots slot;
    if (!match_arguments(parameters, args, kwargs, slot) || !check_pair(slot, "log_probs_new", "log_probs_old") ||
        !check_array(slot[2].get(), 1, Element::Int64, "sequence_lengths"))
        return nullptr;
    VectorView log_new, log_old, lengths;
    if (!view_pair(slot, "log_probs_new", "log_probs_old", &log_new, &log_old) ||
        !view_vector(slot[2].get(), Element::Int64, "sequence_lengths", &lengths) || !require_contiguous(lengths))
        return nullptr;

    const std::int64_t n = std::min({log_new.size, log_old.size, lengths.size});
    double* out = nullptr;
    py::Ref result = new_float64_vector(n, &out);
    if (!result) return nullptr;
    kernels::gspo_importance_ratios(log_new.doubles(), log_old.doubles(), lengths.int64s(), n, out);
    return result.release();
}

PyObject* apply_gspo_clipping(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"apply_gspo_clipping", {"ratios", "advantages", "clip_left", "clip_right"}, 4, 2};
    Slots slot;
    double clip_left = 0.0003, clip_right = 0.0004;
    if (!match_arguments(parameters, args, kwargs, slot) || !check_pair(slot, "ratios", "advantages") ||
        (slot[2] && !to_double(slot[2].get(), "clip_left", &clip_left)) ||
        (slot[3] && !to_double(slot[3].get(), "clip_right", &clip_right)))
        return nullptr;
    return ratio_advantage_result(slot, [&](numeric::DoubleRun r, numeric::DoubleRun a, std::int64_t n, double* out) {
        kernels::gspo_clipping(r, a, n, clip_left, clip_right, out);
    });
}

PyObject* compute_ppo_surrogate(PyObject* args, PyObject* kwargs) {
    static ParameterList parameters{"compute_ppo_surrogate", {"ratios", "advantages", "clip_epsilon"}, 3, 2};
    Slots slot;
    double clip_epsilon = 0.2;
    if (!match_arguments(parameters, args, kwargs, slot) || !check_pair(slot, "ratios", "advantages") ||
        (slot[2] && !to_double(slot[2].get(), "clip_epsilon", &clip_epsilon)))
        return nullptr;
    return ratio_advantage_result(slot, [&](numeric::DoubleRun r, numeric::DoubleRun a, std::int64_t n, double* out) {
        kernels::ppo_surrogate(r, a, n, clip_epsilon, out);
    });
}

}  // namespace qrl::binding
