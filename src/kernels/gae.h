// Generalized Advantage Estimation.
#pragma once

#include <cstdint>
#include <span>

#include "numeric/runs.h"

namespace qrl::kernels {

using numeric::DoubleRun;

// Advantages of one trajectory into out[0..rewards.size).  Values missing at
// the end of a short `values` count as 0.0; values past index n are unread.
// GAE runs backward so each step reuses the next step's advantage.
inline void gae(DoubleRun rewards, DoubleRun values, double gamma, double lambda, double* out) {
    const double c = gamma * lambda;
    const std::int64_t m = values.size;
    double advantage = 0.0;
    for (std::int64_t t = rewards.size - 1; t >= 0; --t) {
        const double next = (t + 1 < m) ? values[t + 1] : 0.0;
        const double current = (t < m) ? values[t] : 0.0;
        const double delta = (gamma * next + rewards[t]) - current;
        advantage = c * advantage + delta;
        out[t] = advantage;
    }
}

// Trajectories side by side in vector lanes are copied in blocks of this
// many steps: the scratch per worker stays (2 * kGaeBlockSteps + 1) * lanes
// doubles, whatever the trajectory length.
constexpr std::int64_t kGaeBlockSteps = 1024;

struct Trajectory {
    DoubleRun rewards;
    DoubleRun values;
    double* out;  // rewards.size slots
};

// Every trajectory on the worker pool, one item each.
void batch_gae(std::span<const Trajectory> trajectories, double gamma, double lambda);

}  // namespace qrl::kernels
