// The worker pool's size, fixed once from the environment: RAYON_NUM_THREADS,
// then RAYON_RS_NUM_CPUS, then the processors this process may use (the
// affinity mask, capped by a cgroup CPU quota, never above the online count).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qrl::parallel {

// An unsigned decimal: optional leading '+', then digits only, at most
// 2^64 - 1.  Anything else (empty, sign, blanks, overflow) is no number.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// What decided N: a variable, or the smallest of the processor counts.
enum class PoolSizeSource { PrimaryVariable, SecondaryVariable, Affinity, Quota, Online };

struct PoolSize {
    unsigned threads = 1;  // N, between 1 and 65535
    PoolSizeSource source = PoolSizeSource::Online;
    std::uint64_t online = 1;     // online processors
    std::uint64_t affinity = 1;   // processors in the affinity mask
    std::optional<double> quota;  // cgroup CPU quota in processors, if one is set
};

// Reads the variables, the affinity mask and the cgroup quota now.
PoolSize pool_size_from_environment();

// The cgroup CPU quota in processors (quota / period) of this process, the
// smallest along its cgroup's ancestors; cgroup v2 (cpu.max) or v1
// (cpu.cfs_quota_us, cpu.cfs_period_us) under `root`.
std::optional<double> cgroup_cpu_quota(const char* root);

}  // namespace qrl::parallel
