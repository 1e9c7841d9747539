// A fixed set of worker threads that run the pieces of one job at a time.
//
// All threads start together, when the pool is created, and live until the
// process ends.  A job is a number of pieces, claimed one by one from a
// shared counter by the calling thread and by up to N - 1 workers, so never
// more than N threads compute at once.  Idle workers spin for a few
// microseconds after a job (a loop of small calls finds them awake), then
// sleep on a futex: an idle process uses no processor time.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace qrl::parallel {

struct Job {
    // Runs piece `piece` (0 <= piece < pieces); must not throw.
    void (*run_piece)(void* context, std::int64_t piece) noexcept = nullptr;
    void* context = nullptr;
    std::int64_t pieces = 0;
};

class WorkerPool {
public:
    // Starts `threads` workers with stacks of `stack_bytes`.  If one cannot be
    // created, the ones already started are stopped and joined, and the
    // result is null with `error` describing the failure.
    static std::unique_ptr<WorkerPool> start(unsigned threads, std::size_t stack_bytes, std::string& error);

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool();  // stops and joins the workers

    unsigned size() const noexcept { return size_; }
    // Whether some worker is not asleep (working, or spinning after a job).
    bool has_awake_workers() const noexcept;
    // Whether `thread` is one of the pool's workers.
    bool runs_on(pthread_t thread) const noexcept;

    // Runs every piece of `job` and returns when all are done.  One job at a
    // time: callers serialise their calls.  Sleeping workers are woken only
    // if `wake_sleepers`; workers still spinning after a job join anyway.
    void run(const Job& job, bool wake_sleepers) noexcept;

private:
    explicit WorkerPool(unsigned size);
    static void* thread_main(void* pool) noexcept;
    void work() noexcept;
    std::uint32_t wait_for_job(std::uint32_t seen, bool spin) noexcept;
    bool join() noexcept;
    void leave() noexcept;
    void run_pieces() noexcept;
    void wait_until_workers_left() noexcept;

    const unsigned size_;
    unsigned started_ = 0;
    std::unique_ptr<pthread_t[]> threads_;

    // Written by the caller while no worker is inside a job, published by
    // `open_` (release) and read by workers after seeing it (acquire).
    Job job_;

    // Bumped for every job (and to stop): the word idle workers sleep on.
    alignas(64) std::atomic<std::uint32_t> generation_{0};
    std::atomic<std::uint32_t> sleepers_{0};
    std::atomic<bool> stopping_{false};
    // A job accepts workers while open; `tickets_` caps how many join it.
    std::atomic<bool> open_{false};
    std::atomic<std::int32_t> tickets_{0};

    alignas(64) std::atomic<std::int64_t> next_piece_{0};

    // Workers inside the job: the caller waits until it drops to zero.
    alignas(64) std::atomic<std::uint32_t> busy_{0};
    std::atomic<bool> caller_sleeping_{false};
};

}  // namespace qrl::parallel
