#include "audio/format/KernelIsa.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace Audio {

namespace {

KernelIsa probe() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) return KernelIsa::Portable;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
        return KernelIsa::AVX512;
    return KernelIsa::AVX2;
#else
    return KernelIsa::Portable;
#endif
}

KernelIsa defaultIsa() {
    static const KernelIsa d = [] {
        const KernelIsa best = bestKernelIsa();
        const char* name = std::getenv("TESSIVAL_ISA");
        if (!name) return best;
        KernelIsa asked = best;
        if (std::strcmp(name, "portable") == 0) asked = KernelIsa::Portable;
        if (std::strcmp(name, "avx2") == 0) asked = KernelIsa::AVX2;
        return asked < best ? asked : best;
    }();
    return d;
}

std::atomic<int> active{-1};  // -1 until first asked for

}  // namespace

KernelIsa bestKernelIsa() {
    static const KernelIsa best = probe();
    return best;
}

KernelIsa kernelIsa() {
    const int v = active.load(std::memory_order_relaxed);
    if (v >= 0) return static_cast<KernelIsa>(v);
    int expected = -1;
    active.compare_exchange_strong(expected, static_cast<int>(defaultIsa()),
                                   std::memory_order_relaxed);
    return static_cast<KernelIsa>(active.load(std::memory_order_relaxed));
}

bool selectKernelIsa(KernelIsa isa) {
    if (isa > bestKernelIsa()) return false;
    active.store(static_cast<int>(isa), std::memory_order_relaxed);
    return true;
}

void resetKernelIsa() {
    active.store(static_cast<int>(defaultIsa()), std::memory_order_relaxed);
}

}  // namespace Audio
