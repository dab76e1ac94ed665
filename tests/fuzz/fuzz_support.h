#pragma once

// What every fuzz target shares: a reader that turns the fuzz input into decisions, and a check
// that stops the run. The targets compile with or without libFuzzer: with it they fuzz, without
// it replay_main.cpp feeds them the checked-in inputs.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

// An invariant that failed: abort, so libFuzzer keeps the input and the replay test fails.
#define KQ_FUZZ_CHECK(condition)                                                                   \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace kq::fuzz {

// Reads the input front to back; past its end every read gives zeros, so a target never needs
// to ask how much is left before deciding.
class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data, size) {}

    bool empty() const { return pos_ >= data_.size(); }
    size_t remaining() const { return data_.size() - pos_; }

    uint8_t Byte() { return empty() ? 0 : data_[pos_++]; }
    // Low byte first; the reads are sequenced, as the operands of | are not.
    uint16_t U16() {
        const uint8_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    uint32_t U32() {
        const uint16_t low = U16();
        return low | static_cast<uint32_t>(U16()) << 16;
    }
    bool Bool() { return (Byte() & 1) != 0; }

    // Up to count bytes, fewer at the end of the input.
    std::span<const uint8_t> Bytes(size_t count) {
        const size_t n = std::min(count, remaining());
        auto out = data_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    std::span<const uint8_t> Rest() { return Bytes(remaining()); }

  private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

}  // namespace kq::fuzz
