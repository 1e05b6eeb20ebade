// A queue between one producer (the data path) and one consumer (a thread beside it): neither
// ever waits, and every slot is made with the queue, so pushing never allocates. A full queue
// refuses the item; the producer counts it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

namespace vg::common {

template <typename T, std::size_t N>
class SpscQueue {
  public:
    bool push(const T& item) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == N) {
            return false;
        }
        slots_[tail % N] = item;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    bool pop(T& item) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return false;
        }
        item = slots_[head % N];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    std::size_t size() const {
        return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    }

  private:
    std::array<T, N> slots_{};
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

}  // namespace vg::common
