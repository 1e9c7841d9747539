// Flags of any integer, bool or floating element type, read in place.
#pragma once

#include <cstdint>
#include <cstring>

namespace qrl::numeric {

// A (rows, columns) matrix of flags, `size` bytes each: set when the bits
// under `bits` are not all zero (so a float's -0.0 is not set and NaN is).
// Absent when data is null.
struct FlagMatrix {
    const char* data = nullptr;
    std::int64_t row_stride = 0;
    std::int64_t column_stride = 0;
    int size = 1;
    std::uint64_t bits = ~std::uint64_t{0};

    bool present() const { return data != nullptr; }
    bool at(std::int64_t i, std::int64_t j) const {
        std::uint64_t word = 0;
        std::memcpy(&word, data + i * row_stride + j * column_stride, static_cast<std::size_t>(size));
        return (word & bits) != 0;
    }
};

template <class Word, bool kPacked>
inline void or_flag_words(const FlagMatrix& f, const char* p, std::int64_t length, unsigned char* out) {
    const auto bits = static_cast<Word>(f.bits);
    const std::int64_t stride = kPacked ? static_cast<std::int64_t>(sizeof(Word)) : f.column_stride;
    for (std::int64_t s = 0; s < length; ++s) {
        Word w;
        std::memcpy(&w, p + s * stride, sizeof w);
        out[s] |= static_cast<unsigned char>((w & bits) != 0);
    }
}

// Packed columns (the common case) with a stride the compiler knows, so the
// loop goes into vector lanes.
template <class Word>
inline void or_flag_words(const FlagMatrix& f, const char* p, std::int64_t length, unsigned char* out) {
    if (f.column_stride == static_cast<std::int64_t>(sizeof(Word)))
        or_flag_words<Word, true>(f, p, length, out);
    else
        or_flag_words<Word, false>(f, p, length, out);
}

// out[s] |= flag (row i, column begin + s) for s in [0, length); an absent
// matrix leaves out as it is.
inline void or_row_flags(const FlagMatrix& f, std::int64_t i, std::int64_t begin, std::int64_t length,
                         unsigned char* out) {
    if (!f.present() || length <= 0) return;
    const char* p = f.data + i * f.row_stride + begin * f.column_stride;
    switch (f.size) {
        case 1: or_flag_words<std::uint8_t>(f, p, length, out); break;
        case 2: or_flag_words<std::uint16_t>(f, p, length, out); break;
        case 4: or_flag_words<std::uint32_t>(f, p, length, out); break;
        default: or_flag_words<std::uint64_t>(f, p, length, out); break;
    }
}

}  // namespace qrl::numeric
