// A working buffer of n doubles: inline up to a fixed size, so small calls
// make no heap allocation; on the heap beyond that.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

namespace qrl::numeric {

template <std::size_t kInline>
class Scratch {
public:
    explicit Scratch(std::size_t n) {
        if (n > kInline) heap_.resize(n);
        data_ = n > kInline ? heap_.data() : inline_;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    double* data() { return data_; }

private:
    double inline_[kInline];
    std::vector<double> heap_;
    double* data_;
};

// A buffer kept between calls, and whether a call is using it.
struct KeptBuffer {
    std::vector<double> doubles;
    std::atomic<bool> in_use{false};
};

// A working buffer of n doubles taken from `kept` while n is at most
// kKeptDoubles (1 MiB) and no other call holds it: repeated calls of
// moderate size neither map fresh pages nor fault them in.  Otherwise a
// buffer of its own.
class ReusedScratch {
public:
    static constexpr std::size_t kKeptDoubles = std::size_t{1} << 17;

    ReusedScratch(KeptBuffer& kept, std::size_t n)
        : kept_(n <= kKeptDoubles && !kept.in_use.exchange(true, std::memory_order_acquire) ? &kept : nullptr) {
        std::vector<double>& buffer = kept_ ? kept_->doubles : own_;
        if (buffer.size() < n) buffer.resize(n);
        data_ = buffer.data();
    }
    ~ReusedScratch() {
        if (kept_) kept_->in_use.store(false, std::memory_order_release);
    }
    ReusedScratch(const ReusedScratch&) = delete;
    ReusedScratch& operator=(const ReusedScratch&) = delete;

    double* data() { return data_; }

private:
    KeptBuffer* kept_;
    std::vector<double> own_;
    double* data_;
};

}  // namespace qrl::numeric
