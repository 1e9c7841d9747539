#include "kernels/padded_gae.h"

#include <algorithm>

#include "numeric/simd.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {
namespace {

namespace simd = numeric::simd;
using simd::Doubles;
using simd::kLanes;
using simd::Mask;

// One step of the backward pass, for one row (T = double, flags bool) or for
// kLanes rows side by side (T = Doubles, flags Mask).  Every lane performs
// exactly the scalar operations: a row's bits never depend on its path.
// A step that ends its episode starts from a carried advantage of 0.0 and,
// when done, from a next value of 0.0: the same arithmetic as the first step
// of compute_gae, so a row equals compute_gae on each of its episodes.
template <class T, class Flags>
QRL_VECTOR_INLINE T step(T carried, T reward, T value, T next_value, Flags done, Flags cut, Flags real,
                         const simd::Constant& gamma, const simd::Constant& decay, T* advantage, T* ret) {
    const T zero = simd::splat<T>(0.0);
    const T next = simd::select(done, zero, next_value);
    const T delta = (gamma.as<T>() * next + reward) - value;
    const T a = decay.as<T>() * simd::select(cut, zero, carried) + delta;
    *advantage = simd::select(real, a, zero);
    *ret = simd::select(real, a + value, zero);
    return *advantage;  // a masked step hands 0.0 to the step before it
}

// Sets padding entries to a harmless value before they meet arithmetic
// (their results are discarded by the selects; this keeps NaN and signalling
// payloads of padding out of the computation altogether).
QRL_VECTOR_INLINE double read(const numeric::DoubleMatrix& m, std::int64_t i, std::int64_t t, bool real) {
    return real ? m.row(i)[t] : 0.0;
}

void row_scalar(const PaddedBatch& b, std::int64_t i, double gamma, double lambda, double* advantages,
                double* returns) {
    const std::int64_t n = b.rewards.columns;
    const simd::Constant discount(gamma), decay(gamma * lambda);
    double carried = 0.0;
    for (std::int64_t t = n - 1; t >= 0; --t) {
        const bool real = !b.mask.present() || b.mask.at(i, t);
        const bool done = b.dones.present() && b.dones.at(i, t);
        const bool cut = done || (b.truncated.present() && b.truncated.at(i, t));
        carried = step<double, bool>(carried, read(b.rewards, i, t, real), read(b.values, i, t, real),
                                     read(b.next_values, i, t, real && !done), done, cut, real, discount, decay,
                                     advantages + i * n + t, returns + i * n + t);
    }
}

// kLanes rows side by side, rows first..first+kLanes-1.
QRL_VECTOR_INLINE void rows_side_by_side(const PaddedBatch& b, std::int64_t first, double gamma, double lambda,
                                         double* advantages, double* returns) {
    const std::int64_t n = b.rewards.columns;
    const simd::Constant discount(gamma), decay(gamma * lambda);
    Doubles carried = simd::splat<Doubles>(0.0);
    for (std::int64_t t = n - 1; t >= 0; --t) {
        Doubles r, v, nv;
        Mask done, cut, real;
        for (int lane = 0; lane < kLanes; ++lane) {
            const std::int64_t i = first + lane;
            const bool is_real = !b.mask.present() || b.mask.at(i, t);
            const bool is_done = b.dones.present() && b.dones.at(i, t);
            const bool is_cut = is_done || (b.truncated.present() && b.truncated.at(i, t));
            r[lane] = read(b.rewards, i, t, is_real);
            v[lane] = read(b.values, i, t, is_real);
            nv[lane] = read(b.next_values, i, t, is_real && !is_done);
            done[lane] = -static_cast<std::int64_t>(is_done);
            cut[lane] = -static_cast<std::int64_t>(is_cut);
            real[lane] = -static_cast<std::int64_t>(is_real);
        }
        Doubles a, ret;
        carried = step<Doubles, Mask>(carried, r, v, nv, done, cut, real, discount, decay, &a, &ret);
        for (int lane = 0; lane < kLanes; ++lane) {
            advantages[(first + lane) * n + t] = a[lane];
            returns[(first + lane) * n + t] = ret[lane];
        }
    }
}

QRL_VECTOR_KERNEL
void rows_range(const PaddedBatch& b, double gamma, double lambda, double* advantages, double* returns,
                std::int64_t begin, std::int64_t end) {
    std::int64_t i = begin;
    for (; i + kLanes <= end; i += kLanes) rows_side_by_side(b, i, gamma, lambda, advantages, returns);
    for (; i < end; ++i) row_scalar(b, i, gamma, lambda, advantages, returns);
}

}  // namespace

void padded_gae(const PaddedBatch& batch, double gamma, double lambda, double* advantages, double* returns) {
    // About 1 ns a step side by side.
    const double ns_per_row = 1.0 * static_cast<double>(batch.rewards.columns) + 20.0;
    parallel::parallel_map_blocks(batch.rewards.rows, kLanes, ns_per_row, [&](std::int64_t begin, std::int64_t end) {
        rows_range(batch, gamma, lambda, advantages, returns, begin, end);
    });
}

}  // namespace qrl::kernels
