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

}  // namespace qrl::numeric
