// Rough costs of one parallel item, in nanoseconds on one core.  They only
// decide whether a call is worth handing to the worker pool and how large its
// pieces are; no result depends on them, so they are rounded and kept on the
// cautious side rather than re-tuned to every machine.
//
// How they were measured: one worker thread (RAYON_NUM_THREADS=1), calls of
// 10^6 items (16 members per group; 1000 trajectories of 1000 steps), the
// minimum of 15 repeats divided by the item count, result allocation included;
// AMD EPYC with AVX-512, 2 cores shared with other jobs.
#pragma once

namespace qrl::kernels::costs {

// compute_gspo_importance_ratios: a division and exp per sequence (4.7 ns).
inline constexpr double kGspoRatioNs = 8.0;
// apply_gspo_clipping, compute_ppo_surrogate: a few selects and products per
// element, vectorised (0.4-0.5 ns).
inline constexpr double kElementwiseNs = 1.0;
// batch_compute_gae: one recurrence step (2.9 ns measured with one thread;
// about 1 ns side by side in lanes when trajectories have equal lengths),
// plus a fixed cost per trajectory.
inline constexpr double kGaeStepNs = 1.0;
inline constexpr double kPerTrajectoryNs = 20.0;
// compute_group_advantages, per member: with the median baseline 2.3 ns
// (network, 16 members) to 19 ns (selection, 100 members with many ties);
// with the mean or minimum 1.6-1.8 ns (standardised); plus a fixed cost per
// group.
inline constexpr double kMedianMemberNs = 12.0;
inline constexpr double kMemberNs = 3.0;
inline constexpr double kPerGroupNs = 20.0;
// The whole-batch standardisation: a subtraction and a division per member.
inline constexpr double kStandardiseElementNs = 0.5;
// Masked sums (statistics, whitening): one element read, its flag and an
// add into one of eight accumulators.
inline constexpr double kMaskedSumElementNs = 0.5;
// Rounding a finished double result into its destination array.
inline constexpr double kStoreElementNs = 0.5;

}  // namespace qrl::kernels::costs
