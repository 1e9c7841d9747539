// The rows of a padded batch's GAE, compiled once per instruction set.
#include <cstring>
#include <memory>
#include <utility>

#include "kernels/lane_io.h"
#include "kernels/padded_gae.h"
#include "kernels/vector_ranges.h"
#include "numeric/float_ops.h"
#include "numeric/simd.h"

namespace qrl::kernels::QRL_TARGET {
namespace {

using numeric::OutputMatrix;
using numeric::Precision;
using numeric::ValueMatrix;
namespace simd = numeric::simd;
using simd::Doubles;
using simd::kLanes;

// Steps are taken kChunk at a time, backward.  First, row by row and
// independently of the recursion, each step's flags, next value and TD
// error; then the recursion itself, kRows rows interleaved so that their
// independent multiply-add chains hide each other's latency; then the
// advantages and returns are stored, row by row.  Every row runs exactly the
// same scalar operations whatever its neighbours, so its bits never depend
// on the grouping of rows.
constexpr int kRows = static_cast<int>(kPaddedGaeRows);
constexpr std::int64_t kChunk = 256;

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
    const BlockSums* sums;  // optional: the advantages' blocks' kept sums
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

// A mask and nothing else (no episode ends, cuts or next values): verl's
// and OpenRLHF's layouts, and discounted returns.
bool mask_only(const PaddedBatch& b) {
    return b.mask.present() && !b.dones.present() && !b.episode_starts.present() && !b.last_dones.present() &&
           !b.truncated.present() && !b.next_values.present();
}

// The mask-only layout in phases per chunk: the flags, next values and TD
// errors row by row in vector lanes; the recursion, the one sequential
// part, K rows interleaved; the stores row by row in lanes.  Values are
// packed, or one zero read with stride 0 (returns without values).  The
// same operations as step_errors, recursion and store.
//
// The additions are plain.  x + y differs from sum_first_nan(x, y) only
// when both are NaN, and every first operand here is an arithmetic result,
// so a quiet NaN; a NaN sum reaches the chunk's results or the state it
// hands on.  So while neither holds a NaN, every sum equals
// sum_first_nan's; once one does, the rows are done again by the general
// pass (rows_block), which writes the same bits wherever no NaN arose.
struct MaskedRow {
    lane_io::Flag keep[kChunk];
    double work[kChunk];  // TD errors, then advantages
};

template <class In>
struct MaskedColumns {
    const char* rewards;
    const char* values;
    std::int64_t value_step;  // sizeof(In), or 0: every value is the one zero
};

template <class In>
QRL_VECTOR_INLINE Doubles values_at(const MaskedColumns<In>& c, std::int64_t s) {
    if (c.value_step == 0) return simd::splat<Doubles>(load<In>(c.values));
    return lane_io::load_lanes<In>(c.values + s * static_cast<std::int64_t>(sizeof(In)));
}

constexpr bool skipping(MaskMode mode) { return mode == MaskMode::Skip || mode == MaskMode::Carry; }

// The TD errors of one row's chunk, backward, from `next`, the next value
// of the chunk's last step.  Skipping, a step's next value is the value of
// the next kept step (in lanes: the values one step on where those steps
// are all kept, `next` where none is, step by step otherwise), and the
// next value of the step before the chunk is returned.  Otherwise the value
// one step on if that step is kept, else `fill`; with kMode Zero a masked
// step's reward and value read as 0.0.
template <class In, MaskMode kMode>
QRL_VECTOR_INLINE double masked_errors(const MaskedColumns<In>& c, std::int64_t length, double gamma, double fill,
                                       double next, MaskedRow& row) {
    constexpr auto in = static_cast<std::int64_t>(sizeof(In));
    constexpr bool kZero = kMode == MaskMode::Zero;
    const auto value = [&](std::int64_t s) QRL_LAMBDA_INLINE { return load<In>(c.values + s * c.value_step); };
    const auto scalar_steps = [&](std::int64_t from, std::int64_t to, double after) QRL_LAMBDA_INLINE {
        for (std::int64_t s = to - 1; s >= from; --s) {
            const bool kept = row.keep[s] != 0;
            const double v = !kZero || kept ? value(s) : 0.0;
            const double r = !kZero || kept ? load<In>(c.rewards + s * in) : 0.0;
            row.work[s] = gamma * after + r - v;
            if constexpr (skipping(kMode))
                after = kept ? v : after;
            else
                after = kept ? v : fill;
        }
        return after;
    };
    // Lanes need the flag and value one step on, inside the chunk.
    const std::int64_t lanes_end = (length - 1) / kLanes * kLanes;
    next = scalar_steps(lanes_end, length, next);
    const Doubles g = simd::splat<Doubles>(gamma), zero = simd::splat<Doubles>(0.0),
                  others = simd::splat<Doubles>(fill);
    for (std::int64_t s = lanes_end - kLanes; s >= 0; s -= kLanes) {
        const simd::Mask after = lane_io::kept_lanes(row.keep + s + 1);
        Doubles next_values;
        if constexpr (skipping(kMode)) {
            const unsigned bits = simd::lane_bits(after);
            if (bits == simd::kAllLanes) {
                next_values = values_at(c, s + 1);
            } else if (bits == 0) {
                next_values = simd::splat<Doubles>(next);
            } else {
                next = scalar_steps(s, s + kLanes, next);
                continue;
            }
        } else {
            next_values = lane_io::choose(after, values_at(c, s + 1), others);
        }
        Doubles reward = lane_io::load_lanes<In>(c.rewards + s * in), v = values_at(c, s);
        if constexpr (kZero) {
            const simd::Mask kept = lane_io::kept_lanes(row.keep + s);
            reward = lane_io::choose(kept, reward, zero);
            v = lane_io::choose(kept, v, zero);
        }
        simd::put(row.work + s, 0, g * next_values + reward - v);
        if constexpr (skipping(kMode)) next = row.keep[s] ? value(s) : next_values[0];
    }
    return next;
}

// The recursion of K rows, backward through the chunk.
template <int K, MaskMode kMode>
QRL_VECTOR_INLINE void masked_recursion(MaskedRow* rows, std::int64_t length, double decay, double* carried) {
    double c[K];
    for (int k = 0; k < K; ++k) c[k] = carried[k];
    for (std::int64_t s = length - 1; s >= 0; --s)
        for (int k = 0; k < K; ++k) {
            const double a = decay * c[k] + rows[k].work[s];
            const bool kept = rows[k].keep[s] != 0;
            if constexpr (kMode == MaskMode::Zero) {
                c[k] = a;
                rows[k].work[s] = a;
            } else if constexpr (kMode == MaskMode::Cut) {
                c[k] = kept ? a : 0.0;
                rows[k].work[s] = c[k];
            } else {
                c[k] = kept ? a : c[k];
                rows[k].work[s] = kMode == MaskMode::Carry ? c[k] : (kept ? a : 0.0);
            }
        }
    for (int k = 0; k < K; ++k) carried[k] = c[k];
}

// Stores one row's chunk; true when a result is NaN.  A return is the
// advantage plus the value (read as 0.0 at a masked step with kMode Zero),
// 0.0 at a masked step with kMode Cut or Skip.
template <class In, class Out, MaskMode kMode>
QRL_VECTOR_INLINE bool masked_store(const MaskedColumns<In>& c, const MaskedRow& row, std::int64_t length,
                                    char* advantages, char* returns) {
    constexpr auto out = static_cast<std::int64_t>(sizeof(Out));
    constexpr bool kAll = kMode == MaskMode::Carry || kMode == MaskMode::Zero;
    simd::Mask nan{};
    const Doubles zero = simd::splat<Doubles>(0.0);
    std::int64_t s = 0;
    for (; s + kLanes <= length; s += kLanes) {
        const Doubles a = simd::get<Doubles>(row.work + s, 0);
        lane_io::store_lanes<Out>(advantages + s * out, a);
        nan |= a != a;
        if (returns) {
            const simd::Mask kept = lane_io::kept_lanes(row.keep + s);
            Doubles v = values_at(c, s);
            if constexpr (kMode == MaskMode::Zero) v = lane_io::choose(kept, v, zero);
            const Doubles sum = a + v;
            nan |= sum != sum;
            lane_io::store_lanes<Out>(returns + s * out, kAll ? sum : lane_io::choose(kept, sum, zero));
        }
    }
    bool any = simd::lane_bits(nan) != 0;
    for (; s < length; ++s) {
        const double a = row.work[s];
        lane_io::store_one<Out>(advantages + s * out, a);
        any |= a != a;
        if (returns) {
            const bool kept = row.keep[s] != 0;
            const double v = kMode != MaskMode::Zero || kept ? load<In>(c.values + s * c.value_step) : 0.0;
            const double sum = a + v;
            any |= sum != sum;
            lane_io::store_one<Out>(returns + s * out, kAll || kept ? sum : 0.0);
        }
    }
    return any;
}

template <class In, class Out, int K, MaskMode kMode>
QRL_VECTOR_INLINE bool masked_chunk(const Inputs& in, const MaskedColumns<In>* columns, MaskedRow* rows,
                                    std::int64_t length, const double* fill, double* carried, double* next,
                                    char* const* advantages, char* const* returns) {
    for (int k = 0; k < K; ++k)
        next[k] = masked_errors<In, kMode>(columns[k], length, in.gamma, fill[k], next[k], rows[k]);
    masked_recursion<K, kMode>(rows, length, in.decay, carried);
    bool nan = false;
    for (int k = 0; k < K; ++k) {
        nan |= masked_store<In, Out, kMode>(columns[k], rows[k], length, advantages[k], returns[k]);
        nan |= carried[k] != carried[k] || (skipping(kMode) && next[k] != next[k]);
    }
    return nan;
}

// The kept sum of the advantages' block of row i that starts at `begin`,
// as masked_moments would form it, once the block is written.
static_assert(kSumBlock % kChunk == 0, "a block's chunks end inside it");
ValueMatrix as_values(const OutputMatrix& m) {
    return {m.data, m.rows, m.columns, m.row_stride, m.column_stride, m.precision};
}

void gather_block(const Inputs& in, const ValueMatrix& written, std::int64_t i, std::int64_t begin) {
    const std::int64_t length = in.steps - begin < kSumBlock ? in.steps - begin : kSumBlock;
    const std::int64_t b = i * in.sums->per_row + begin / kSumBlock;
    masked_block_sum(written, in.batch.mask, i, begin, length, nullptr, &in.sums->sums[b], &in.sums->counts[b]);
}

// Rows first..first+count-1 again by the general pass, whole, then their
// blocks' sums: a NaN arose in one of their chunks.
template <class In, class Out>
void redo_rows(const Inputs& in, std::int64_t first, int count, const OutputMatrix& advantages,
               const OutputMatrix& returns) {
    const auto steps = std::make_unique<RowSteps>();
    for (std::int64_t i = first; i < first + count; ++i) {
        rows_block<In, Out, false, 1>(in, i, steps.get(), advantages, returns);
        if (in.sums)
            for (std::int64_t block = 0; block < in.steps; block += kSumBlock)
                gather_block(in, as_values(advantages), i, block);
    }
}

template <class In, class Out, int K, MaskMode kMode>
void masked_rows_block(const Inputs& in, std::int64_t first, MaskedRow* rows, const OutputMatrix& advantages,
                       const OutputMatrix& returns) {
    const PaddedBatch& b = in.batch;
    constexpr auto in_size = static_cast<std::int64_t>(sizeof(In)), out_size = static_cast<std::int64_t>(sizeof(Out));
    const std::int64_t value_step = b.values.column_stride == 0 ? 0 : in_size;
    // Per row: the carried advantage; the value after the last step; what a
    // step before a masked one takes as its next value (not skipping).
    double carried[K], bootstrap[K], fill[K], chain[K];
    for (int k = 0; k < K; ++k) {
        carried[k] = 0.0;
        bootstrap[k] = b.bootstrap.present() ? b.bootstrap[first + k] : 0.0;
        fill[k] = kMode == MaskMode::Zero ? 0.0 : bootstrap[k];
        chain[k] = bootstrap[k];
    }
    // Chunks end at multiples of kChunk (the last one at the row's end).
    for (std::int64_t end = in.steps, begin = (in.steps - 1) / kChunk * kChunk; end > 0; end = begin, begin -= kChunk) {
        const std::int64_t length = end - begin;
        MaskedColumns<In> columns[K];
        char* advantage_rows[K];
        char* return_rows[K];
        double next[K];
        for (int k = 0; k < K; ++k) {
            const std::int64_t i = first + k;
            columns[k] = {b.rewards.data + i * b.rewards.row_stride + begin * in_size,
                          b.values.data + i * b.values.row_stride + begin * value_step, value_step};
            advantage_rows[k] = advantages.data + i * advantages.row_stride + begin * out_size;
            return_rows[k] = returns.present() ? returns.data + i * returns.row_stride + begin * out_size : nullptr;
            lane_io::row_flags(b.mask, i, begin, length, rows[k].keep);
            if (skipping(kMode) || end == in.steps)
                next[k] = chain[k];
            else
                next[k] = b.mask.at(i, end) ? load<In>(columns[k].values + length * value_step) : fill[k];
        }
        if (masked_chunk<In, Out, K, kMode>(in, columns, rows, length, fill, carried, next, advantage_rows,
                                            return_rows)) {
            redo_rows<In, Out>(in, first, K, advantages, returns);
            return;
        }
        for (int k = 0; k < K; ++k) chain[k] = next[k];
        if (in.sums && begin % kSumBlock == 0)
            for (int k = 0; k < K; ++k) gather_block(in, as_values(advantages), first + k, begin);
    }
}

template <class In, class Out, MaskMode kMode>
void masked_rows(const Inputs& in, std::int64_t begin, std::int64_t end, const OutputMatrix& advantages,
                 const OutputMatrix& returns) {
    const auto rows = std::make_unique<MaskedRow[]>(kRows);
    std::int64_t i = begin;
    for (; i + kRows <= end; i += kRows)
        masked_rows_block<In, Out, kRows, kMode>(in, i, rows.get(), advantages, returns);
    for (; i < end; ++i) masked_rows_block<In, Out, 1, kMode>(in, i, rows.get(), advantages, returns);
}

// The mask-only layout's rows, when every column is packed (values may be
// the one zero of stride 0); false (nothing done) otherwise.
template <class In, class Out>
bool masked_rows(const Inputs& in, std::int64_t begin, std::int64_t end, const OutputMatrix& advantages,
                 const OutputMatrix& returns) {
    const PaddedBatch& b = in.batch;
    constexpr auto in_size = static_cast<std::int64_t>(sizeof(In)), out_size = static_cast<std::int64_t>(sizeof(Out));
    if (!mask_only(b) || b.rewards.column_stride != in_size ||
        (b.values.column_stride != in_size && (b.values.column_stride != 0 || b.values.row_stride != 0)) ||
        advantages.column_stride != out_size || (returns.present() && returns.column_stride != out_size))
        return false;
    switch (b.mask_mode) {
        case MaskMode::Cut: masked_rows<In, Out, MaskMode::Cut>(in, begin, end, advantages, returns); break;
        case MaskMode::Skip: masked_rows<In, Out, MaskMode::Skip>(in, begin, end, advantages, returns); break;
        case MaskMode::Carry: masked_rows<In, Out, MaskMode::Carry>(in, begin, end, advantages, returns); break;
        case MaskMode::Zero: masked_rows<In, Out, MaskMode::Zero>(in, begin, end, advantages, returns); break;
    }
    return true;
}

template <class In, class Out, bool kUnit>
void rows_range(const Inputs& in, std::int64_t begin, std::int64_t end, const OutputMatrix& advantages,
                const OutputMatrix& returns) {
    const auto steps = std::make_unique<RowSteps[]>(kRows);
    std::int64_t i = begin;
    for (; i + kRows <= end; i += kRows) rows_block<In, Out, kUnit, kRows>(in, i, steps.get(), advantages, returns);
    for (; i < end; ++i) rows_block<In, Out, kUnit, 1>(in, i, steps.get(), advantages, returns);
}

// Rows begin..end-1; true when their blocks' sums were gathered too.
template <class In, class Out>
bool rows_range(const Inputs& in, bool unit, std::int64_t begin, std::int64_t end, const OutputMatrix& advantages,
                const OutputMatrix& returns) {
    if (masked_rows<In, Out>(in, begin, end, advantages, returns)) return true;
    if (unit)
        rows_range<In, Out, true>(in, begin, end, advantages, returns);
    else
        rows_range<In, Out, false>(in, begin, end, advantages, returns);
    return false;
}

bool unit_columns(const ValueMatrix& m, std::int64_t size) { return !m.present() || m.column_stride == size; }

}  // namespace

void padded_gae_rows(const PaddedBatch& batch, double gamma, double decay, const OutputMatrix& advantages,
                     const OutputMatrix& returns, const BlockSums* sums, std::int64_t begin, std::int64_t end) {
    const std::int64_t n = batch.rewards.columns;
    const Inputs in{batch, n, gamma, decay, sums};
    const bool single = batch.values.precision == Precision::Float32;
    const std::int64_t in_size = single ? 4 : 8, out_size = numeric::element_size(advantages.precision);
    const bool unit =
        unit_columns(batch.rewards, in_size) && unit_columns(batch.values, in_size) &&
        unit_columns(batch.next_values, in_size) && unit_columns(batch.final_values, in_size) &&
        advantages.column_stride == out_size &&
        (!returns.present() || (returns.column_stride == out_size && returns.precision == advantages.precision));
    const bool single_out = advantages.precision == Precision::Float32;
    bool gathered;
    if (single && single_out)
        gathered = rows_range<float, float>(in, unit, begin, end, advantages, returns);
    else if (single)
        gathered = rows_range<float, double>(in, unit, begin, end, advantages, returns);
    else if (single_out)
        gathered = rows_range<double, float>(in, unit, begin, end, advantages, returns);
    else
        gathered = rows_range<double, double>(in, unit, begin, end, advantages, returns);
    if (sums && !gathered) {
        const ValueMatrix written = as_values(advantages);
        for (std::int64_t i = begin; i < end; ++i)
            for (std::int64_t block = 0; block < n; block += kSumBlock) gather_block(in, written, i, block);
    }
}

}  // namespace qrl::kernels::QRL_TARGET
