// The Parallel map: an indexed, order-preserving loop over items 0..n-1 on
// the process-wide worker pool.  Item i reads only its own inputs and writes
// only its own output slot, so results never depend on the number of
// threads or on scheduling.  The serial and the parallel path call the same
// range kernel.
//
// A range kernel is called as kernel(begin, end) and processes the items
// begin..end-1 in ascending order.  It may throw (an InternalFailure, or
// std::bad_alloc); the piece that threw stops, the other pieces still run,
// and the failure of the lowest-indexed failing item is rethrown on the
// calling thread once every piece is done.
//
// The calling thread blocks (keeping the interpreter lock) until all items
// are done.  The pool is looked up, and created on first use, by every call,
// also when n is 0; a pool that cannot start fails this and every later call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>

#include "parallel/pool_size.h"

namespace qrl::parallel {

// The pool's size and how it was decided: that of the running pool once it
// started (or failed to), else what a parallel call would decide now.
struct PoolReport {
    PoolSize size;
    bool started = false;
    std::string failure;  // why the pool could not start, if it could not
};
PoolReport pool_report();

using RangeFunction = void (*)(void* context, std::int64_t begin, std::int64_t end);

// `ns_per_item` is a rough cost of one item in nanoseconds: ranges whose
// whole cost is below the dispatch latency of the pool run on the calling
// thread, and pieces are sized to amortise it.
void run_indexed(std::int64_t n, double ns_per_item, RangeFunction function, void* context);

template <class RangeKernel>
void parallel_map(std::int64_t n, double ns_per_item, RangeKernel&& kernel) {
    using Kernel = std::remove_reference_t<RangeKernel>;
    run_indexed(
        n, ns_per_item,
        [](void* context, std::int64_t begin, std::int64_t end) { (*static_cast<Kernel*>(context))(begin, end); },
        const_cast<void*>(static_cast<const void*>(&kernel)));
}

// The same loop with pieces whose boundaries are multiples of `block`
// (except at n): kernels that handle `block` items at once in vector lanes
// then meet whole blocks, whatever the split.
template <class RangeKernel>
void parallel_map_blocks(std::int64_t n, std::int64_t block, double ns_per_item, RangeKernel&& kernel) {
    parallel_map((n + block - 1) / block, ns_per_item * static_cast<double>(block),
                 [&](std::int64_t first, std::int64_t last) { kernel(first * block, std::min(last * block, n)); });
}

}  // namespace qrl::parallel
