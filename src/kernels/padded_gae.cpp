#include "kernels/padded_gae.h"

#include <cstring>
#include <memory>
#include <utility>

#include "kernels/costs.h"
#include "numeric/float_ops.h"
#include "parallel/parallel_map.h"

namespace qrl::kernels {
namespace {

using numeric::OutputMatrix;
using numeric::Precision;
using numeric::ValueMatrix;

// Steps are taken kChunk at a time, backward.  First, row by row and
// independently of the recursion, each step's flags, next value and TD
// error; then the recursion itself, kRows rows interleaved so that their
// independent multiply-add chains hide each other's latency; then the
// advantages and returns are stored, row by row.  Every row runs exactly the
// same scalar operations whatever its neighbours, so its bits never depend
// on the grouping of rows.
constexpr int kRows = 4;
constexpr std::int64_t kChunk = 512;

// One row's steps of a chunk.
struct RowSteps {
    double delta[kChunk];
    double next[kChunk];   // the value of the state the step leads to
    double value[kChunk];  // the value of the state the step starts from, as read
    double advantage[kChunk];
    unsigned char done[kChunk];
    unsigned char truncated[kChunk];
    unsigned char real[kChunk];  // 1: not masked
};

template <class In>
inline double load(const char* p) {
    In x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

using numeric::or_row_flags;

struct Inputs {
    const PaddedBatch& batch;
    std::int64_t steps;  // per row
    double gamma, decay;
};

// Per row, carried from one chunk to the one before it.
struct RowState {
    double carried = 0.0;  // the advantage handed to the step before
    double chain = 0.0;    // skip mode: the value handed to the step before
};

template <class In, bool kUnit>
inline double value_at(const ValueMatrix& m, std::int64_t i, std::int64_t t) {
    const std::int64_t stride = kUnit ? static_cast<std::int64_t>(sizeof(In)) : m.column_stride;
    return load<In>(m.data + i * m.row_stride + t * stride);
}

// The flags, next values and TD errors of row i's steps begin..end-1.  A
// done step's next value is 0.0 and a cut step starts from a carried
// advantage of 0.0: the arithmetic of the first step of compute_gae, so a
// row equals compute_gae on each of its episodes.  Inputs of masked steps
// may be read, but nothing computed from them is kept.
template <class In, bool kUnit>
inline void step_errors(const Inputs& in, std::int64_t i, std::int64_t begin, std::int64_t end, RowState& state,
                        RowSteps& out) {
    const PaddedBatch& b = in.batch;
    const std::int64_t length = end - begin, last = in.steps - 1;
    std::memset(out.done, 0, static_cast<std::size_t>(length));
    std::memset(out.truncated, 0, static_cast<std::size_t>(length));
    or_row_flags(b.dones, i, begin, length, out.done);
    // An episode start at step t + 1 ends the episode at step t.
    or_row_flags(b.episode_starts, i, begin + 1, (end <= last ? end : last) - begin, out.done);
    if (end == in.steps && b.last_dones.present()) out.done[length - 1] |= b.last_dones.at(i, 0);
    or_row_flags(b.truncated, i, begin, length, out.truncated);
    if (b.mask.present()) {
        std::memset(out.real, 0, static_cast<std::size_t>(length));
        or_row_flags(b.mask, i, begin, length, out.real);
    } else {
        std::memset(out.real, 1, static_cast<std::size_t>(length));
    }

    const std::int64_t vs = kUnit ? static_cast<std::int64_t>(sizeof(In)) : b.values.column_stride;
    const char* v = b.values.data + i * b.values.row_stride + begin * vs;
    if (b.next_values.present()) {
        const std::int64_t ns = kUnit ? static_cast<std::int64_t>(sizeof(In)) : b.next_values.column_stride;
        const char* nv = b.next_values.data + i * b.next_values.row_stride + begin * ns;
        for (std::int64_t s = 0; s < length; ++s) out.next[s] = load<In>(nv + s * ns);
    } else {
        const double bootstrap = b.bootstrap.present() ? b.bootstrap[i] : 0.0;
        const bool skipping = b.mask_mode == MaskMode::Skip || b.mask_mode == MaskMode::Carry;
        // Before a masked step: the bootstrap after padding, 0.0 after a zeroed step.
        const double before_masked = b.mask_mode == MaskMode::Zero ? 0.0 : bootstrap;
        const bool after_real = end <= last && (!b.mask.present() || b.mask.at(i, end));
        if (skipping) {
            // The value of the next unmasked step, or the bootstrap after it.
            double chain = end == in.steps ? bootstrap : state.chain;
            for (std::int64_t s = length - 1; s >= 0; --s) {
                out.next[s] = chain;
                chain = out.real[s] ? load<In>(v + s * vs) : chain;
            }
            state.chain = chain;
        } else {
            for (std::int64_t s = 0; s + 1 < length; ++s)
                out.next[s] = out.real[s + 1] ? load<In>(v + (s + 1) * vs) : before_masked;
            out.next[length - 1] =
                after_real ? value_at<In, kUnit>(b.values, i, end) : (end == in.steps ? bootstrap : before_masked);
        }
    }
    if (b.final_values.present() && b.truncated.present()) {
        const std::int64_t fs = kUnit ? static_cast<std::int64_t>(sizeof(In)) : b.final_values.column_stride;
        const char* fv = b.final_values.data + i * b.final_values.row_stride + begin * fs;
        for (std::int64_t s = 0; s < length; ++s) {
            const double final_value = load<In>(fv + s * fs);  // read always: a select, not a branch
            out.next[s] = out.truncated[s] ? final_value : out.next[s];
        }
    }
    const std::int64_t rs = kUnit ? static_cast<std::int64_t>(sizeof(In)) : b.rewards.column_stride;
    const char* r = b.rewards.data + i * b.rewards.row_stride + begin * rs;
    const double gamma = in.gamma;
    const bool zeroed = b.mask_mode == MaskMode::Zero;
    for (std::int64_t s = 0; s < length; ++s) {
        const double next = out.done[s] ? 0.0 : out.next[s];
        const bool read = !zeroed || out.real[s];
        const double reward = load<In>(r + s * rs), value = load<In>(v + s * vs);  // read always: selects
        out.value[s] = read ? value : 0.0;
        out.delta[s] = numeric::sum_first_nan(gamma * next, read ? reward : 0.0) - out.value[s];
        out.truncated[s] |= out.done[s];  // from here on: the recursion restarts
    }
    if (zeroed) std::memset(out.real, 1, static_cast<std::size_t>(length));
}

// Padding hands 0.0 to the step before it; a skipped step hands on what it
// was given.  Its own advantage is 0.0, or what it hands on (kCarry).
template <int K, bool kSkip, bool kCarry>
inline void recursion(RowSteps* steps, std::int64_t length, double decay, RowState* state) {
    double carried[K];
    for (int k = 0; k < K; ++k) carried[k] = state[k].carried;
    for (std::int64_t s = length - 1; s >= 0; --s) {
        for (int k = 0; k < K; ++k) {
            const double a =
                numeric::sum_first_nan(decay * (steps[k].truncated[s] ? 0.0 : carried[k]), steps[k].delta[s]);
            const bool real = steps[k].real[s] != 0;
            carried[k] = real ? a : (kSkip ? carried[k] : 0.0);
            steps[k].advantage[s] = real ? a : (kCarry ? carried[k] : 0.0);
        }
    }
    for (int k = 0; k < K; ++k) state[k].carried = carried[k];
}

template <class Out, bool kUnit>
inline void store(std::int64_t i, std::int64_t begin, std::int64_t length, const RowSteps& steps, bool keep_masked,
                  const OutputMatrix& advantages, const OutputMatrix& returns) {
    const std::int64_t as = kUnit ? static_cast<std::int64_t>(sizeof(Out)) : advantages.column_stride;
    char* a = advantages.data + i * advantages.row_stride + begin * as;
    for (std::int64_t s = 0; s < length; ++s) {
        const auto rounded_advantage = static_cast<Out>(steps.advantage[s]);
        std::memcpy(a + s * as, &rounded_advantage, sizeof(Out));
    }
    if (!returns.present()) return;
    const std::int64_t os = kUnit ? static_cast<std::int64_t>(sizeof(Out)) : returns.column_stride;
    char* ret = returns.data + i * returns.row_stride + begin * os;
    for (std::int64_t s = 0; s < length; ++s) {
        const double sum = numeric::sum_first_nan(steps.advantage[s], steps.value[s]);
        const auto rounded_return = static_cast<Out>(steps.real[s] || keep_masked ? sum : 0.0);
        std::memcpy(ret + s * os, &rounded_return, sizeof(Out));
    }
}

template <class In, class Out, bool kUnit, int K>
void rows_block(const Inputs& in, std::int64_t first, RowSteps* steps, const OutputMatrix& advantages,
                const OutputMatrix& returns) {
    RowState state[K];
    for (std::int64_t end = in.steps; end > 0; end -= kChunk) {
        const std::int64_t begin = end > kChunk ? end - kChunk : 0, length = end - begin;
        for (int k = 0; k < K; ++k) step_errors<In, kUnit>(in, first + k, begin, end, state[k], steps[k]);
        switch (in.batch.mask_mode) {
            case MaskMode::Skip: recursion<K, true, false>(steps, length, in.decay, state); break;
            case MaskMode::Carry: recursion<K, true, true>(steps, length, in.decay, state); break;
            default: recursion<K, false, false>(steps, length, in.decay, state); break;
        }
        const bool keep_masked = in.batch.mask_mode == MaskMode::Carry;
        for (int k = 0; k < K; ++k)
            store<Out, kUnit>(first + k, begin, length, steps[k], keep_masked, advantages, returns);
    }
}

// verl's layout: a mask of skipped steps and nothing else (no episode
// ends, cuts or next values).  The passes of rows_block fused into one
// backward pass per chunk (after the chunk's flags): the same scalar
// operations in the same order, so the same bits, without the round trips
// through the RowSteps buffers.
bool skip_mask_only(const PaddedBatch& b) {
    return b.mask.present() && (b.mask_mode == MaskMode::Skip || b.mask_mode == MaskMode::Carry) &&
           !b.dones.present() && !b.episode_starts.present() && !b.last_dones.present() && !b.truncated.present() &&
           !b.next_values.present();
}

template <class In, class Out, bool kUnit, int K, bool kCarry>
void skip_rows_block(const Inputs& in, std::int64_t first, RowSteps* steps, const OutputMatrix& advantages,
                     const OutputMatrix& returns) {
    const PaddedBatch& b = in.batch;
    const std::int64_t in_size = static_cast<std::int64_t>(sizeof(In)),
                       out_size = static_cast<std::int64_t>(sizeof(Out));
    const std::int64_t rs = kUnit ? in_size : b.rewards.column_stride, vs = kUnit ? in_size : b.values.column_stride;
    const std::int64_t as = kUnit ? out_size : advantages.column_stride;
    const std::int64_t os = kUnit ? out_size : returns.column_stride;
    const bool with_returns = returns.present();
    double carried[K], chain[K];
    for (int k = 0; k < K; ++k) {
        carried[k] = 0.0;
        chain[k] = b.bootstrap.present() ? b.bootstrap[first + k] : 0.0;  // the value after the last step
    }
    for (std::int64_t end = in.steps; end > 0; end -= kChunk) {
        const std::int64_t begin = end > kChunk ? end - kChunk : 0, length = end - begin;
        for (int k = 0; k < K; ++k) {
            std::memset(steps[k].real, 0, static_cast<std::size_t>(length));
            or_row_flags(b.mask, first + k, begin, length, steps[k].real);
        }
        for (std::int64_t s = length - 1; s >= 0; --s) {
            const std::int64_t t = begin + s;
            for (int k = 0; k < K; ++k) {
                const std::int64_t i = first + k;
                const double reward = load<In>(b.rewards.data + i * b.rewards.row_stride + t * rs);
                const double value = load<In>(b.values.data + i * b.values.row_stride + t * vs);
                const double delta = numeric::sum_first_nan(in.gamma * chain[k], reward) - value;
                const double a = numeric::sum_first_nan(in.decay * carried[k], delta);
                const bool real = steps[k].real[s] != 0;
                carried[k] = real ? a : carried[k];
                chain[k] = real ? value : chain[k];
                const double advantage = real ? a : (kCarry ? carried[k] : 0.0);
                const auto rounded_advantage = static_cast<Out>(advantage);
                std::memcpy(advantages.data + i * advantages.row_stride + t * as, &rounded_advantage, sizeof(Out));
                if (with_returns) {
                    const double sum = numeric::sum_first_nan(advantage, value);
                    const auto rounded_return = static_cast<Out>(real || kCarry ? sum : 0.0);
                    std::memcpy(returns.data + i * returns.row_stride + t * os, &rounded_return, sizeof(Out));
                }
            }
        }
    }
}

template <class In, class Out, bool kUnit, int K>
void rows_block_of(const Inputs& in, bool skip_only, std::int64_t first, RowSteps* steps,
                   const OutputMatrix& advantages, const OutputMatrix& returns) {
    if (!skip_only)
        rows_block<In, Out, kUnit, K>(in, first, steps, advantages, returns);
    else if (in.batch.mask_mode == MaskMode::Carry)
        skip_rows_block<In, Out, kUnit, K, true>(in, first, steps, advantages, returns);
    else
        skip_rows_block<In, Out, kUnit, K, false>(in, first, steps, advantages, returns);
}

template <class In, class Out, bool kUnit>
void rows_range(const Inputs& in, std::int64_t begin, std::int64_t end, const OutputMatrix& advantages,
                const OutputMatrix& returns) {
    const auto steps = std::make_unique<RowSteps[]>(kRows);
    const bool skip_only = skip_mask_only(in.batch);
    std::int64_t i = begin;
    for (; i + kRows <= end; i += kRows)
        rows_block_of<In, Out, kUnit, kRows>(in, skip_only, i, steps.get(), advantages, returns);
    for (; i < end; ++i) rows_block_of<In, Out, kUnit, 1>(in, skip_only, i, steps.get(), advantages, returns);
}

template <class In, class Out>
void rows_range(const Inputs& in, bool unit, std::int64_t begin, std::int64_t end, const OutputMatrix& advantages,
                const OutputMatrix& returns) {
    if (unit)
        rows_range<In, Out, true>(in, begin, end, advantages, returns);
    else
        rows_range<In, Out, false>(in, begin, end, advantages, returns);
}

bool unit_columns(const ValueMatrix& m, std::int64_t size) { return !m.present() || m.column_stride == size; }

}  // namespace

bool mask_mode_from_name(std::string_view name, MaskMode* mode) {
    static constexpr std::pair<std::string_view, MaskMode> kModes[] = {
        {"cut", MaskMode::Cut}, {"skip", MaskMode::Skip}, {"carry", MaskMode::Carry}, {"zero", MaskMode::Zero}};
    for (const auto& [known, value] : kModes)
        if (name == known) {
            *mode = value;
            return true;
        }
    return false;
}

void padded_gae(const PaddedBatch& batch, double gamma, double lambda, const OutputMatrix& advantages,
                const OutputMatrix& returns) {
    const std::int64_t n = batch.rewards.columns;
    // An empty batch has nothing to compute, however many rows it has; the
    // pool is still looked up.
    if (batch.rewards.rows == 0 || n == 0) {
        parallel::parallel_map(0, 0.0, [](std::int64_t, std::int64_t) {});
        return;
    }
    const Inputs in{batch, n, gamma, gamma * lambda};
    const bool single = batch.values.precision == Precision::Float32;
    const std::int64_t in_size = single ? 4 : 8, out_size = numeric::element_size(advantages.precision);
    const bool unit =
        unit_columns(batch.rewards, in_size) && unit_columns(batch.values, in_size) &&
        unit_columns(batch.next_values, in_size) && unit_columns(batch.final_values, in_size) &&
        advantages.column_stride == out_size &&
        (!returns.present() || (returns.column_stride == out_size && returns.precision == advantages.precision));
    const bool single_out = advantages.precision == Precision::Float32;
    const double ns_per_row = costs::kGaeStepNs * static_cast<double>(n) + costs::kPerTrajectoryNs;
    parallel::parallel_map_blocks(batch.rewards.rows, kRows, ns_per_row, [&](std::int64_t begin, std::int64_t end) {
        if (single && single_out)
            rows_range<float, float>(in, unit, begin, end, advantages, returns);
        else if (single)
            rows_range<float, double>(in, unit, begin, end, advantages, returns);
        else if (single_out)
            rows_range<double, float>(in, unit, begin, end, advantages, returns);
        else
            rows_range<double, double>(in, unit, begin, end, advantages, returns);
    });
}

}  // namespace qrl::kernels
