// The worker pool's size, fixed once from the environment:
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the online processor count.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qrl::parallel {

// An unsigned decimal: optional leading '+', then digits only, at most
// 2^64 - 1.  Anything else (empty, sign, blanks, overflow) is no number.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// N for the pool, between 1 and 65535.
unsigned pool_size_from_environment();

}  // namespace qrl::parallel
