// The map over the process-wide worker pool: the pool is created by the
// first call, sized from the environment, and serves every later call.
#include "parallel/parallel_map.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "failure/internal_failure.h"
#include "failure/messages.h"
#include "parallel/pool_size.h"
#include "parallel/worker_pool.h"

namespace qrl::parallel {
namespace {

constexpr std::size_t kWorkerStackBytes = 2u * 1024u * 1024u;
// Below this much work, handing pieces to a worker costs more than it saves.
constexpr double kSerialBelowNs = 10'000.0;
// Waking a sleeping worker costs the caller microseconds, and the worker
// arrives later still: done for calls of this much work, or for any call
// within a burst (a call less than kBurstGap after the previous one), after
// which the workers spin between calls.  Otherwise a call takes the help of
// workers that are awake, or runs on its own thread.
constexpr double kWakeFromNs = 40'000.0;
constexpr auto kBurstGap = std::chrono::milliseconds(1);
// Pieces: about this many per thread, so uneven items balance, but not so
// small that claiming and handing over dominate, nor so large that a
// descheduled thread holds up the call for long.
constexpr double kPiecesPerThread = 8.0;
constexpr double kMinPieceNs = 5'000.0;
constexpr double kMaxPieceNs = 500'000.0;

// The process-wide pool, or why it could not start.  A forked child starts
// with a fresh state (the parent's workers do not exist there).
struct PoolState {
    std::mutex mutex;                // creation, and one parallel call at a time
    std::atomic<pthread_t> owner{};  // the thread whose call holds the pool
    std::chrono::steady_clock::time_point last_call{};
    std::atomic<WorkerPool*> pool{nullptr};
    bool failed = false;
    std::string failure;
    PoolSize size;  // of the pool started (or refused)
};

PoolState g_state;
std::once_flag g_fork_handler_once;
int g_fork_handler_error = 0;

// Only the forking thread exists in the child, and the state's mutex may be
// held by a thread that is gone: forget the parent's pool (leaking it on
// purpose; its threads cannot be joined) and let the next call start a new one.
void forget_pool_in_child() { new (&g_state) PoolState(); }

[[noreturn]] void fail_not_started(const std::string& reason) { fail(messages::kPoolNotStarted + reason); }

WorkerPool& acquire_pool() {
    if (WorkerPool* pool = g_state.pool.load(std::memory_order_acquire)) return *pool;
    std::call_once(g_fork_handler_once,
                   [] { g_fork_handler_error = pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
    std::lock_guard lock(g_state.mutex);
    if (g_state.failed) fail_not_started(g_state.failure);
    if (WorkerPool* pool = g_state.pool.load(std::memory_order_relaxed)) return *pool;
    std::string error;
    std::unique_ptr<WorkerPool> pool;
    if (g_fork_handler_error != 0)
        error = "pthread_atfork failed (os error " + std::to_string(g_fork_handler_error) + ")";
    else {
        g_state.size = pool_size_from_environment();
        pool = WorkerPool::start(g_state.size.threads, kWorkerStackBytes, error);
    }
    if (!pool) {
        g_state.failed = true;
        g_state.failure = error;
        fail_not_started(g_state.failure);
    }
    // Never destroyed: the pool serves the process until it ends.
    g_state.pool.store(pool.release(), std::memory_order_release);
    return *g_state.pool.load(std::memory_order_relaxed);
}

// One parallel call: pieces of `piece_items` items, failures collected.
struct MapCall {
    RangeFunction function = nullptr;
    void* context = nullptr;
    std::int64_t n = 0;
    std::int64_t piece_items = 1;
    std::atomic<std::int64_t> writes{0};
    std::mutex failure_mutex;
    std::int64_t failed_begin = std::numeric_limits<std::int64_t>::max();
    std::exception_ptr failure;

    static void run_piece(void* self, std::int64_t piece) noexcept {
        static_cast<MapCall*>(self)->run_range(piece * static_cast<MapCall*>(self)->piece_items);
    }

    void run_range(std::int64_t begin) noexcept {
        const std::int64_t end = std::min(n, begin + piece_items);
        try {
            function(context, begin, end);
            writes.fetch_add(end - begin, std::memory_order_relaxed);
        } catch (...) {
            // A piece stops at its first failing item, and pieces are
            // disjoint: the failing piece that starts lowest holds the
            // lowest failing item.
            std::lock_guard lock(failure_mutex);
            if (begin < failed_begin) {
                failed_begin = begin;
                failure = std::current_exception();
            }
        }
    }
};

}  // namespace

PoolReport pool_report() {
    PoolReport report;
    std::lock_guard lock(g_state.mutex);
    report.started = g_state.pool.load(std::memory_order_relaxed) != nullptr;
    report.failure = g_state.failure;
    report.size = report.started || g_state.failed ? g_state.size : pool_size_from_environment();
    return report;
}

void run_indexed(std::int64_t n, double ns_per_item, RangeFunction function, void* context) {
    WorkerPool& pool = acquire_pool();
    if (n <= 0) return;
    const double total_ns = static_cast<double>(n) * ns_per_item;
    if (n == 1 || pool.size() == 1 || total_ns < kSerialBelowNs) {
        function(context, 0, n);
        return;
    }
    std::unique_lock lock(g_state.mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        // A map started from inside a map's item (on its caller or on a
        // worker) would wait for itself: it runs on its own thread.  Another
        // thread's call is simply waited for.
        const pthread_t self = pthread_self();
        if (pthread_equal(g_state.owner.load(std::memory_order_relaxed), self) || pool.runs_on(self)) {
            function(context, 0, n);
            return;
        }
        lock.lock();
    }
    const auto now = std::chrono::steady_clock::now();
    const bool wake = total_ns >= kWakeFromNs || now - g_state.last_call < kBurstGap;
    g_state.last_call = now;
    if (!wake && !pool.has_awake_workers()) {
        lock.unlock();
        function(context, 0, n);
        return;
    }
    const double piece_ns =
        std::clamp(total_ns / (kPiecesPerThread * static_cast<double>(pool.size())), kMinPieceNs, kMaxPieceNs);
    const auto piece_items =
        std::clamp<std::int64_t>(static_cast<std::int64_t>(piece_ns / std::max(ns_per_item, 1e-3)), 1, n);
    MapCall call;
    call.function = function;
    call.context = context;
    call.n = n;
    call.piece_items = piece_items;
    g_state.owner.store(pthread_self(), std::memory_order_relaxed);
    pool.run({MapCall::run_piece, &call, (n + piece_items - 1) / piece_items}, wake);
    g_state.owner.store(pthread_t{}, std::memory_order_relaxed);
    lock.unlock();
    if (call.failure) std::rethrow_exception(call.failure);
    const std::int64_t writes = call.writes.load(std::memory_order_relaxed);
    if (writes != n) fail("expected " + std::to_string(n) + " total writes, but got " + std::to_string(writes));
}

}  // namespace qrl::parallel
