#include "parallel/worker_pool.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "parallel/futex.h"

namespace qrl::parallel {
namespace {

// A worker that took part in a job stays awake this long for the next one;
// the caller spins this long for the last workers before it sleeps.
constexpr auto kWorkerSpin = std::chrono::microseconds(50);
constexpr auto kCallerSpin = std::chrono::microseconds(20);

// Spins until `done()` or the time is up; true when done.
template <class Done>
bool spin_until(Done&& done, std::chrono::nanoseconds limit) noexcept {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            if (done()) return true;
            spin_pause();
        }
        if (std::chrono::steady_clock::now() >= deadline) return done();
    }
}

}  // namespace

WorkerPool::WorkerPool(unsigned size) : size_(size), threads_(new pthread_t[size]) {}

std::unique_ptr<WorkerPool> WorkerPool::start(unsigned threads, std::size_t stack_bytes, std::string& error) {
    std::unique_ptr<WorkerPool> pool(new WorkerPool(threads));
    pthread_attr_t attributes;
    if (const int code = pthread_attr_init(&attributes); code != 0) {
        error = std::string("pthread_attr_init failed: ") + std::strerror(code);
        return nullptr;
    }
    int code = pthread_attr_setstacksize(&attributes, stack_bytes);
    // Workers take no signals: they go to the interpreter's threads, whose
    // handlers Python runs.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    unsigned& started = pool->started_;
    while (code == 0 && started < threads) {
        code = pthread_create(&pool->threads_[started], &attributes, thread_main, pool.get());
        if (code == 0) ++started;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (code != 0) {
        error = "could not start worker thread " + std::to_string(started + 1) + " of " + std::to_string(threads) +
                ": " + std::strerror(code) + " (os error " + std::to_string(code) + ")";
        return nullptr;  // stops and joins the `started` ones
    }
    return pool;
}

WorkerPool::~WorkerPool() {
    stopping_.store(true, std::memory_order_seq_cst);
    generation_.fetch_add(1, std::memory_order_seq_cst);
    futex_wake(generation_);
    for (unsigned i = 0; i < started_; ++i) pthread_join(threads_[i], nullptr);
}

bool WorkerPool::has_awake_workers() const noexcept { return sleepers_.load(std::memory_order_relaxed) < started_; }

bool WorkerPool::runs_on(pthread_t thread) const noexcept {
    for (unsigned i = 0; i < started_; ++i)
        if (pthread_equal(threads_[i], thread)) return true;
    return false;
}

void* WorkerPool::thread_main(void* pool) noexcept {
    static_cast<WorkerPool*>(pool)->work();
    return nullptr;
}

void WorkerPool::work() noexcept {
    std::uint32_t seen = 0;  // no job runs before every worker has started
    bool worked = false;
    for (;;) {
        seen = wait_for_job(seen, worked);
        if (stopping_.load(std::memory_order_acquire)) return;
        worked = join();
        if (!worked) continue;
        run_pieces();
        leave();
    }
}

std::uint32_t WorkerPool::wait_for_job(std::uint32_t seen, bool spin) noexcept {
    std::uint32_t now = seen;
    if (spin && spin_until([&] { return (now = generation_.load(std::memory_order_acquire)) != seen; }, kWorkerSpin))
        return now;
    for (;;) {
        // Announce the sleep before the last look: a caller that bumps the
        // generation after that look sees the sleeper and wakes it.
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        if (generation_.load(std::memory_order_seq_cst) == seen) futex_wait(generation_, seen);
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
        now = generation_.load(std::memory_order_acquire);
        if (now != seen) return now;
    }
}

// Enter the current job, if one is open and has room.  Once `busy_` counts
// this worker, the caller neither finishes the job nor rewrites it.
bool WorkerPool::join() noexcept {
    busy_.fetch_add(1, std::memory_order_seq_cst);
    if (open_.load(std::memory_order_seq_cst) && tickets_.fetch_sub(1, std::memory_order_relaxed) > 0) return true;
    leave();
    return false;
}

void WorkerPool::leave() noexcept {
    if (busy_.fetch_sub(1, std::memory_order_seq_cst) == 1 && caller_sleeping_.load(std::memory_order_seq_cst))
        futex_wake(busy_, 1);
}

void WorkerPool::run_pieces() noexcept {
    const Job job = job_;
    for (;;) {
        const std::int64_t piece = next_piece_.fetch_add(1, std::memory_order_relaxed);
        if (piece >= job.pieces) return;
        job.run_piece(job.context, piece);
    }
}

void WorkerPool::run(const Job& job, bool wake_sleepers) noexcept {
    const auto helpers = static_cast<std::int32_t>(std::min<std::int64_t>(size_ - 1, job.pieces - 1));
    if (helpers <= 0) {
        for (std::int64_t piece = 0; piece < job.pieces; ++piece) job.run_piece(job.context, piece);
        return;
    }
    job_ = job;
    next_piece_.store(0, std::memory_order_relaxed);
    tickets_.store(helpers, std::memory_order_relaxed);
    open_.store(true, std::memory_order_seq_cst);
    generation_.fetch_add(1, std::memory_order_seq_cst);
    // Spinning workers see the new generation by themselves.
    if (const std::uint32_t sleeping = sleepers_.load(std::memory_order_seq_cst); sleeping > 0 && wake_sleepers)
        futex_wake(generation_, static_cast<int>(std::min<std::uint32_t>(sleeping, helpers)));
    run_pieces();
    open_.store(false, std::memory_order_seq_cst);
    wait_until_workers_left();
}

void WorkerPool::wait_until_workers_left() noexcept {
    if (spin_until([&] { return busy_.load(std::memory_order_acquire) == 0; }, kCallerSpin)) return;
    for (;;) {
        caller_sleeping_.store(true, std::memory_order_seq_cst);
        const std::uint32_t busy = busy_.load(std::memory_order_seq_cst);
        if (busy == 0) break;
        futex_wait(busy_, busy);
    }
    caller_sleeping_.store(false, std::memory_order_relaxed);
}

}  // namespace qrl::parallel
