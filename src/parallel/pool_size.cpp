#include "parallel/pool_size.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace qrl::parallel {
namespace {

constexpr std::uint64_t kMaxThreads = 65535;

std::optional<std::uint64_t> read_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return parse_thread_count(value);
}

std::uint64_t online_processors() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<std::uint64_t>(count) : 1;
}

}  // namespace

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value))
            return std::nullopt;
    }
    return value;
}

unsigned pool_size_from_environment() {
    std::uint64_t n;
    if (const auto primary = read_variable("RAYON_NUM_THREADS")) {
        // 0 asks for one thread per processor, without the second variable.
        n = *primary >= 1 ? *primary : online_processors();
    } else if (const auto secondary = read_variable("RAYON_RS_NUM_CPUS"); secondary && *secondary >= 1) {
        n = *secondary;
    } else {
        n = online_processors();
    }
    return static_cast<unsigned>(std::min(n, kMaxThreads));
}

}  // namespace qrl::parallel
