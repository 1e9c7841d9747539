#include "advantage/group_advantages.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "numeric/float_ops.h"
#include "numeric/median.h"
#include "parallel/parallel_map.h"

namespace qrl::advantage {
namespace {

using numeric::DoubleRun;

// Standardisation threshold and addend alike.
constexpr double kStdFloor = 1e-8;

double mean_of(const double* a, std::int64_t n) {
    double sum = -0.0;  // single running total in index order
    for (std::int64_t j = 0; j < n; ++j) sum = sum + a[j];
    return sum / static_cast<double>(n);
}

// One group: a holds the group's values on entry and its advantages on exit.
void group_in_place(double* a, std::int64_t n, Baseline baseline, bool normalize, double* scratch) {
    if (n == 0) return;
    double b = 0.0;
    switch (baseline) {
        case Baseline::Mean: b = mean_of(a, n); break;
        case Baseline::Min:
            b = INFINITY;
            for (std::int64_t j = 0; j < n; ++j) b = numeric::min_num(b, a[j]);
            break;
        case Baseline::Median:
            std::copy(a, a + n, scratch);
            b = numeric::stable_median_in_place({scratch, static_cast<std::size_t>(n)});
            break;
    }
    for (std::int64_t j = 0; j < n; ++j) a[j] = a[j] - b;
    if (!normalize || n < 2) return;

    const double mu = mean_of(a, n);
    double squares = -0.0;
    for (std::int64_t j = 0; j < n; ++j) {
        const double d = a[j] - mu;
        squares = squares + d * d;
    }
    const double sigma = std::sqrt(squares / static_cast<double>(n));
    if (!(sigma > kStdFloor)) return;  // also when sigma is NaN
    const double divisor = sigma + kStdFloor;
    for (std::int64_t j = 0; j < n; ++j) a[j] = (a[j] - mu) / divisor;
}

}  // namespace

Baseline baseline_from_name(std::string_view name) {
    if (name == "median") return Baseline::Median;
    if (name == "min") return Baseline::Min;
    return Baseline::Mean;
}

void group_advantages(const numeric::DoubleMatrix& rewards, Baseline baseline, bool normalize, double* out) {
    const std::int64_t n = rewards.columns;
    const double ns_per_group = 10.0 * static_cast<double>(n) + 20.0;
    parallel::parallel_map(rewards.rows, ns_per_group, [&](std::int64_t begin, std::int64_t end) {
        std::vector<double> scratch(baseline == Baseline::Median ? static_cast<std::size_t>(n) : 0);
        for (std::int64_t i = begin; i < end; ++i) {
            double* a = out + i * n;
            const DoubleRun row = rewards.row(i);
            for (std::int64_t j = 0; j < n; ++j) a[j] = row[j];
            group_in_place(a, n, baseline, normalize, scratch.data());
        }
    });
}

}  // namespace qrl::advantage
