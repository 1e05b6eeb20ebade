// Shared pieces of the fuzz targets: a check that stops the run with a message, and a reader
// that takes fields off a fuzz input without ever running past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A broken invariant is a finding: say which, then abort so the fuzzer keeps the input.
#define FUZZ_CHECK(cond, ...)                                                             \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                            \
            std::fprintf(stderr, "\n");                                                   \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace vg::fuzz {

// Fields from the front of an input; past the end every field reads as zero bytes.
class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t left() const { return size_ - pos_; }

    std::uint8_t byte() {
        std::uint8_t b = 0;
        bytes(&b, 1);
        return b;
    }

    // Copies n bytes into out, zero-filling whatever the input no longer has.
    void bytes(void* out, std::size_t n) {
        const std::size_t take = n < left() ? n : left();
        if (take > 0) {
            std::memcpy(out, data_ + pos_, take);
        }
        if (take < n) {
            std::memset(static_cast<std::uint8_t*>(out) + take, 0, n - take);
        }
        pos_ += take;
    }

    template <typename T>
    T value() {
        T v{};
        bytes(&v, sizeof v);
        return v;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace vg::fuzz
