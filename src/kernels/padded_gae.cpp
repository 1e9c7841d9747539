#include "kernels/padded_gae.h"

#include <cstring>
#include <memory>
#include <vector>

#include "kernels/costs.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {
namespace {

// Flags as a byte pointer and strides; an absent matrix reads a shared row
// of its default value (row stride 0), so every flag has unit column stride
// unless the caller passed a strided view.
struct Flags {
    const char* data;
    std::int64_t row_stride, column_stride;

    Flags(const FlagMatrix& m, const std::vector<char>& fallback)
        : data(m.present() ? m.data : fallback.data()),
          row_stride(m.present() ? m.row_stride : 0),
          column_stride(m.present() ? m.column_stride : 1) {}

    const char* row(std::int64_t i) const { return data + i * row_stride; }
};

inline double load(const char* p) {
    double x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// Steps are taken kChunk at a time, backward.  First, row by row and
// independently of the recursion, each step's TD error and its flags; then
// the recursion itself, kRows rows interleaved so that their independent
// multiply-add chains hide each other's latency; then the returns, row by
// row.  Every row runs exactly the same scalar operations whatever its
// neighbours, so its bits never depend on the grouping of rows.
constexpr int kRows = 4;
constexpr std::int64_t kChunk = 512;

// One row's steps of a chunk.
struct RowSteps {
    double delta[kChunk];
    unsigned char cut[kChunk];   // 1: no advantage carried in from the next step
    unsigned char real[kChunk];  // 1: not padding
};

struct Inputs {
    const PaddedBatch& batch;
    Flags dones, truncated, mask;
    double gamma, decay;
};

// A done step's next value is 0.0 and a cut step starts from a carried
// advantage of 0.0: the arithmetic of the first step of compute_gae, so a
// row equals compute_gae on each of its episodes.  A masked step's inputs
// are read but everything computed from them is discarded.  Branch-free,
// so that rows of unit stride vectorise along the steps.
template <bool kUnit>
inline void step_errors(const Inputs& in, std::int64_t i, std::int64_t begin, std::int64_t length, RowSteps& out) {
    const PaddedBatch& b = in.batch;
    const std::int64_t rs = kUnit ? 8 : b.rewards.column_stride, vs = kUnit ? 8 : b.values.column_stride,
                       ns = kUnit ? 8 : b.next_values.column_stride;
    const std::int64_t ds = kUnit ? 1 : in.dones.column_stride, ts = kUnit ? 1 : in.truncated.column_stride,
                       ms = kUnit ? 1 : in.mask.column_stride;
    const char* r = b.rewards.data + i * b.rewards.row_stride + begin * rs;
    const char* v = b.values.data + i * b.values.row_stride + begin * vs;
    const char* nv = b.next_values.data + i * b.next_values.row_stride + begin * ns;
    const char* d = in.dones.row(i) + begin * ds;
    const char* tr = in.truncated.row(i) + begin * ts;
    const char* m = in.mask.row(i) + begin * ms;
    const double gamma = in.gamma;
    for (std::int64_t s = 0; s < length; ++s) {
        const unsigned char done = d[s * ds] != 0;
        const double next_value = load(nv + s * ns);  // read always: a select, not a branch
        const double next = done ? 0.0 : next_value;
        out.delta[s] = (gamma * next + load(r + s * rs)) - load(v + s * vs);
        out.cut[s] = done | (tr[s * ts] != 0);
        out.real[s] = m[s * ms] != 0;
    }
}

template <int K>
inline void recursion(const RowSteps* steps, std::int64_t length, double decay, double* carried,
                      double* const* advantages) {
    for (std::int64_t s = length - 1; s >= 0; --s) {
        for (int k = 0; k < K; ++k) {
            const double a = decay * (steps[k].cut[s] ? 0.0 : carried[k]) + steps[k].delta[s];
            carried[k] = steps[k].real[s] ? a : 0.0;  // padding hands 0.0 to the step before it
            advantages[k][s] = carried[k];
        }
    }
}

template <bool kUnit>
inline void returns_of(const Inputs& in, std::int64_t i, std::int64_t begin, std::int64_t length, const RowSteps& steps,
                       const double* advantages, double* returns) {
    const numeric::DoubleMatrix& values = in.batch.values;
    const std::int64_t vs = kUnit ? 8 : values.column_stride;
    const char* v = values.data + i * values.row_stride + begin * vs;
    for (std::int64_t s = 0; s < length; ++s) {
        const double sum = advantages[s] + load(v + s * vs);
        returns[s] = steps.real[s] ? sum : 0.0;
    }
}

template <int K, bool kUnit>
inline void rows_block(const Inputs& in, std::int64_t first, RowSteps* steps, double* advantages, double* returns) {
    const std::int64_t n = in.batch.rewards.columns;
    double carried[K] = {};
    for (std::int64_t end = n; end > 0; end -= kChunk) {
        const std::int64_t begin = end > kChunk ? end - kChunk : 0, length = end - begin;
        double* rows_out[K];
        for (int k = 0; k < K; ++k) {
            step_errors<kUnit>(in, first + k, begin, length, steps[k]);
            rows_out[k] = advantages + (first + k) * n + begin;
        }
        recursion<K>(steps, length, in.decay, carried, rows_out);
        for (int k = 0; k < K; ++k)
            returns_of<kUnit>(in, first + k, begin, length, steps[k], rows_out[k], returns + (first + k) * n + begin);
    }
}

template <bool kUnit>
inline void rows_range(const Inputs& in, std::int64_t begin, std::int64_t end, RowSteps* steps, double* advantages,
                       double* returns) {
    std::int64_t i = begin;
    for (; i + kRows <= end; i += kRows) rows_block<kRows, kUnit>(in, i, steps, advantages, returns);
    for (; i < end; ++i) rows_block<1, kUnit>(in, i, steps, advantages, returns);
}

void rows_range(const Inputs& in, bool unit, std::int64_t begin, std::int64_t end, RowSteps* steps, double* advantages,
                double* returns) {
    if (unit)
        rows_range<true>(in, begin, end, steps, advantages, returns);
    else
        rows_range<false>(in, begin, end, steps, advantages, returns);
}

}  // namespace

void padded_gae(const PaddedBatch& batch, double gamma, double lambda, double* advantages, double* returns) {
    const std::int64_t n = batch.rewards.columns;
    // An empty batch has nothing to compute (and a (0, n) one no row whose
    // length should size the default flag rows); the pool is still looked up.
    if (batch.rewards.rows == 0 || n == 0) {
        parallel::parallel_map(0, 0.0, [](std::int64_t, std::int64_t) {});
        return;
    }
    const std::vector<char> no(static_cast<std::size_t>(n), 0), yes(static_cast<std::size_t>(n), 1);
    const Inputs in{batch, Flags(batch.dones, no), Flags(batch.truncated, no), Flags(batch.mask, yes),
                    gamma, gamma * lambda};
    const bool unit = batch.rewards.column_stride == 8 && batch.values.column_stride == 8 &&
                      batch.next_values.column_stride == 8 && in.dones.column_stride == 1 &&
                      in.truncated.column_stride == 1 && in.mask.column_stride == 1;
    const double ns_per_row = costs::kGaeStepNs * static_cast<double>(n) + costs::kPerTrajectoryNs;
    parallel::parallel_map_blocks(batch.rewards.rows, kRows, ns_per_row, [&](std::int64_t begin, std::int64_t end) {
        const auto steps = std::make_unique<RowSteps[]>(kRows);
        rows_range(in, unit, begin, end, steps.get(), advantages, returns);
    });
}

}  // namespace qrl::kernels
