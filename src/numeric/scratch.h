// A working buffer of n doubles: inline up to a fixed size, so small calls
// make no heap allocation; on the heap beyond that.
#pragma once

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

// A working buffer of n doubles that this thread keeps for its next call
// while it is at most kKeptDoubles (1 MiB): repeated calls of moderate size
// neither map fresh pages nor fault them in.  One at a time per thread.
class ReusedScratch {
public:
    static constexpr std::size_t kKeptDoubles = std::size_t{1} << 17;

    explicit ReusedScratch(std::size_t n) : kept_(n <= kKeptDoubles) {
        std::vector<double>& buffer = kept_ ? kept() : own_;
        if (buffer.size() < n) buffer.resize(n);
        data_ = buffer.data();
    }
    ReusedScratch(const ReusedScratch&) = delete;
    ReusedScratch& operator=(const ReusedScratch&) = delete;

    double* data() { return data_; }

private:
    static std::vector<double>& kept() {
        thread_local std::vector<double> buffer;
        return buffer;
    }
    bool kept_;
    std::vector<double> own_;
    double* data_;
};

}  // namespace qrl::numeric
