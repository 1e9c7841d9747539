#include "parallel/pool_size.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qrl::parallel {
namespace {

constexpr std::uint64_t kMaxThreads = 65535;
constexpr const char* kCgroupRoot = "/sys/fs/cgroup";

std::optional<std::uint64_t> read_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return parse_thread_count(value);
}

std::uint64_t online_processors() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<std::uint64_t>(count) : 1;
}

// CPUs in this thread's affinity mask (the thread that starts the pool),
// with a mask large enough for any count the kernel reports.
std::optional<std::uint64_t> affinity_processors() {
    for (int cpus = 1024; cpus <= (1 << 20); cpus *= 8) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        const int code = sched_getaffinity(0, bytes, set);
        const int count = code == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (code == 0) return count > 0 ? std::optional<std::uint64_t>(count) : std::nullopt;
        if (errno != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

std::string read_file(const std::string& path) {
    std::string text;
    if (std::FILE* file = std::fopen(path.c_str(), "re")) {
        char buffer[4096];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
        std::fclose(file);
    }
    return text;
}

// The quota of one cgroup directory, in processors, if it sets one.
std::optional<double> quota_v2(const std::string& directory) {
    long long quota = 0, period = 0;
    const std::string text = read_file(directory + "/cpu.max");
    if (std::sscanf(text.c_str(), "%lld %lld", &quota, &period) != 2 || quota <= 0 || period <= 0)
        return std::nullopt;  // "max PERIOD": no quota
    return static_cast<double>(quota) / static_cast<double>(period);
}

std::optional<double> quota_v1(const std::string& directory) {
    long long quota = 0, period = 0;
    if (std::sscanf(read_file(directory + "/cpu.cfs_quota_us").c_str(), "%lld", &quota) != 1 ||
        std::sscanf(read_file(directory + "/cpu.cfs_period_us").c_str(), "%lld", &period) != 1 || quota <= 0 ||
        period <= 0)
        return std::nullopt;  // -1: no quota
    return static_cast<double>(quota) / static_cast<double>(period);
}

// The smallest quota from `base + path` up to `base` itself.  Inside a
// container the cgroup's own directory is usually the mount's root, and the
// path /proc/self/cgroup names may not exist there: missing files set none.
template <class Reader>
std::optional<double> smallest_quota(const std::string& base, std::string path, Reader read) {
    std::optional<double> smallest;
    while (true) {
        if (const auto quota = read(base + path); quota && (!smallest || *quota < *smallest)) smallest = quota;
        if (path.empty() || path == "/") break;
        const auto slash = path.find_last_of('/');
        path = slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
    }
    return smallest;
}

void keep_smaller(std::optional<double>& smallest, std::optional<double> quota) {
    if (quota && (!smallest || *quota < *smallest)) smallest = quota;
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

std::optional<double> cgroup_cpu_quota(const char* root) {
    const std::string base = root;
    std::optional<double> smallest;
    // Lines "ID:CONTROLLERS:PATH": "0::PATH" for v2, "N:cpu,cpuacct:PATH" for v1.
    const std::string lines = read_file("/proc/self/cgroup");
    bool listed = false;
    std::size_t start = 0;
    while (start < lines.size()) {
        std::size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        const std::string line = lines.substr(start, end - start);
        start = end + 1;
        const auto first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        listed = true;
        if (controllers.empty()) {
            keep_smaller(smallest, smallest_quota(base, path, quota_v2));
            keep_smaller(smallest, smallest_quota(base + "/unified", path, quota_v2));
            continue;
        }
        const std::string padded = "," + controllers + ",";
        if (padded.find(",cpu,") == std::string::npos) continue;
        for (const std::string& mount : {controllers, std::string("cpu"), std::string("cpu,cpuacct")})
            keep_smaller(smallest, smallest_quota(base + "/" + mount, path, quota_v1));
    }
    // No /proc (a chroot): the mount's own root still tells.
    if (!listed) {
        keep_smaller(smallest, quota_v2(base));
        keep_smaller(smallest, quota_v1(base + "/cpu"));
    }
    return smallest;
}

PoolSize pool_size_from_environment() {
    PoolSize size;
    size.online = online_processors();
    size.affinity = std::min(affinity_processors().value_or(size.online), size.online);
    // The cgroup root may be moved for tests (a fake hierarchy); see CONTRIBUTING.md.
    const char* root = std::getenv("QRL_TEST_CGROUP_ROOT");
    size.quota = cgroup_cpu_quota(root != nullptr ? root : kCgroupRoot);

    std::uint64_t n = 0;
    const auto primary = read_variable("RAYON_NUM_THREADS");
    const auto secondary = primary ? std::nullopt : read_variable("RAYON_RS_NUM_CPUS");
    if (primary && *primary >= 1) {
        n = *primary;
        size.source = PoolSizeSource::PrimaryVariable;
    } else if (secondary && *secondary >= 1) {
        n = *secondary;
        size.source = PoolSizeSource::SecondaryVariable;
    } else {
        // 0 in RAYON_NUM_THREADS asks for one thread per processor (without
        // the second variable): those this process may use.
        n = size.online;
        size.source = PoolSizeSource::Online;
        if (size.affinity < n) {
            n = size.affinity;
            size.source = PoolSizeSource::Affinity;
        }
        if (size.quota) {
            const auto quota_threads = static_cast<std::uint64_t>(std::max(1.0, std::ceil(*size.quota)));
            if (quota_threads < n) {
                n = quota_threads;
                size.source = PoolSizeSource::Quota;
            }
        }
    }
    size.threads = static_cast<unsigned>(std::clamp<std::uint64_t>(n, 1, kMaxThreads));
    return size;
}

}  // namespace qrl::parallel
