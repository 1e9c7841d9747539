// Thin layer over oneTBB: one task_arena of N slots (N-1 workers plus the
// calling thread), created once, kept for the life of the process.
#include "parallel/parallel_map.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "failure/internal_failure.h"
#include "parallel/pool_size.h"

// oneTBB is not built for ThreadSanitizer, so its hand-over of work is
// invisible to it: mark the hand-over of a parallel call to its pieces, and
// of the pieces' results back to the caller.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#define QRL_TSAN_ACQUIRE(address) __tsan_acquire(address)
#define QRL_TSAN_RELEASE(address) __tsan_release(address)
#else
#define QRL_TSAN_ACQUIRE(address) static_cast<void>(address)
#define QRL_TSAN_RELEASE(address) static_cast<void>(address)
#endif

namespace qrl::parallel {
namespace {

constexpr std::size_t kWorkerStackBytes = 2u * 1024u * 1024u;
// Below this much work the pool's wake-up latency costs more than it saves.
constexpr double kSerialBelowNs = 40'000.0;
// Aim for pieces of about this much work.
constexpr double kPieceNs = 25'000.0;

struct Pool {
    unsigned threads = 1;
    tbb::task_arena arena;
};

Pool* g_pool = nullptr;
std::string g_pool_error;
std::once_flag g_pool_once;

// oneTBB cannot be used in a child forked after its workers started: such a
// child runs every map on the calling thread (results do not depend on the
// thread count).
std::atomic<bool> g_forked_child{false};
void mark_forked_child() { g_forked_child.store(true, std::memory_order_relaxed); }

void create_pool() {
    try {
        const unsigned threads = pool_size_from_environment();
        // The controls must outlive every use of the pool: never destroyed.
        new tbb::global_control(tbb::global_control::max_allowed_parallelism, threads);
        new tbb::global_control(tbb::global_control::thread_stack_size, kWorkerStackBytes);
        auto* pool = new Pool;
        pool->threads = threads;
        pool->arena.initialize(static_cast<int>(threads), 1);
        if (pthread_atfork(nullptr, nullptr, mark_forked_child) != 0) throw std::runtime_error("pthread_atfork failed");
        g_pool = pool;
    } catch (const std::exception& error) {
        g_pool_error = error.what();
    } catch (...) {
        g_pool_error = "unknown error";
    }
}

Pool& acquire_pool() {
    std::call_once(g_pool_once, create_pool);
    if (g_pool == nullptr)
        fail("The global thread pool has not been initialized.: The worker pool could not be started: " + g_pool_error);
    return *g_pool;
}

// Shared by the pieces of one parallel call.
struct MapState {
    RangeFunction function = nullptr;
    void* context = nullptr;
    std::atomic<std::int64_t> writes{0};
    std::atomic<std::int64_t> lowest_failed_begin{std::numeric_limits<std::int64_t>::max()};
    std::mutex failure_mutex;
    std::exception_ptr failure;
    char handed_out = 0;  // synchronisation addresses for ThreadSanitizer only
    char handed_back = 0;

    void run_piece(std::int64_t begin, std::int64_t end) {
        QRL_TSAN_ACQUIRE(&handed_out);
        run_piece_body(begin, end);
        QRL_TSAN_RELEASE(&handed_back);
    }

    void run_piece_body(std::int64_t begin, std::int64_t end) {
        // A piece after a known failure cannot lower the failing index.
        if (begin > lowest_failed_begin.load(std::memory_order_relaxed)) return;
        try {
            function(context, begin, end);
            writes.fetch_add(end - begin, std::memory_order_relaxed);
        } catch (...) {
            // Pieces are disjoint and run in ascending order, so the failing
            // piece that starts lowest holds the lowest failing item.
            std::lock_guard lock(failure_mutex);
            if (begin < lowest_failed_begin.load(std::memory_order_relaxed)) {
                lowest_failed_begin.store(begin, std::memory_order_relaxed);
                failure = std::current_exception();
            }
        }
    }
};

}  // namespace

void run_indexed(std::int64_t n, double ns_per_item, RangeFunction function, void* context) {
    Pool& pool = acquire_pool();
    if (n <= 0) return;
    const double total_ns = static_cast<double>(n) * ns_per_item;
    if (n == 1 || pool.threads == 1 || total_ns < kSerialBelowNs || g_forked_child.load(std::memory_order_relaxed)) {
        function(context, 0, n);
        return;
    }
    const auto grain = static_cast<std::int64_t>(std::max(1.0, kPieceNs / std::max(ns_per_item, 1e-3)));
    MapState state;
    state.function = function;
    state.context = context;
    QRL_TSAN_RELEASE(&state.handed_out);
    pool.arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::int64_t>(0, n, static_cast<std::size_t>(grain)),
            [&](const tbb::blocked_range<std::int64_t>& piece) { state.run_piece(piece.begin(), piece.end()); },
            tbb::auto_partitioner());
    });
    QRL_TSAN_ACQUIRE(&state.handed_back);
    if (state.failure) std::rethrow_exception(state.failure);
    const std::int64_t writes = state.writes.load();
    if (writes != n) fail("expected " + std::to_string(n) + " total writes, but got " + std::to_string(writes));
}

}  // namespace qrl::parallel
