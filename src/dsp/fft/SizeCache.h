#pragma once

// Internal to the FFT: the process-wide instances of a transform family,
// one per power-of-two size 2^0 .. 2^23, built on first use.
#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

#include "dsp/fft/FFT.h"

namespace OOURA::FFT::detail {

constexpr unsigned kSizeSlots = 24;  // sizes 2^0 .. 2^23

// The instance of T for 2^ceil(log2 m) points (m <= 1 gives 1), made by
// make(size) under a lock and published only when complete; thread-safe,
// alive until process exit. Throws Base::TooBig above 2^23.
template <class T, class Make>
const T& cachedForSize(std::size_t m, Make make) {
    unsigned k = 0;
    while (k < kSizeSlots && (std::size_t{1} << k) < m) ++k;
    if (k >= kSizeSlots) throw Base::TooBig{};

    struct Cache {
        std::mutex fill;
        std::array<std::atomic<const T*>, kSizeSlots> slot{};
        std::array<std::unique_ptr<T>, kSizeSlots> owned;
    };
    static Cache cache;

    if (const T* p = cache.slot[k].load(std::memory_order_acquire)) return *p;
    std::lock_guard<std::mutex> lock(cache.fill);
    if (const T* p = cache.slot[k].load(std::memory_order_relaxed)) return *p;
    std::unique_ptr<T> instance = make(std::size_t{1} << k);
    const T* p = instance.get();
    cache.owned[k] = std::move(instance);
    cache.slot[k].store(p, std::memory_order_release);
    return *p;
}

}  // namespace OOURA::FFT::detail
