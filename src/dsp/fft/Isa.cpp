#include "dsp/fft/Isa.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace DSP {

namespace {

Isa probeCpu() {
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (avx2 && __builtin_cpu_supports("avx512f")) return Isa::AVX512;
    if (avx2) return Isa::AVX2;
#endif
    return Isa::Portable;
}

Isa fromEnvironment() {
    const IsaChoice c = chooseIsa(std::getenv("TESSIVAL_ISA"), bestIsa());
    if (!c.warning.empty()) std::fprintf(stderr, "%s\n", c.warning.c_str());
    return c.isa;
}

Isa defaultIsa() {
    static const Isa d = fromEnvironment();  // reads the environment once
    return d;
}

// The set in force as an Isa value; -1 until first asked for.
std::atomic<int> active{-1};

}  // namespace

const char* isaName(Isa isa) {
    switch (isa) {
        case Isa::Portable:
            return "portable";
        case Isa::AVX2:
            return "avx2";
        case Isa::AVX512:
            return "avx512";
    }
    return "?";
}

std::optional<Isa> parseIsa(std::string_view name) {
    for (Isa isa : kAllIsas)
        if (name == isaName(isa)) return isa;
    return std::nullopt;
}

Isa bestIsa() {
    static const Isa best = probeCpu();
    return best;
}

IsaChoice chooseIsa(const char* requested, Isa best) {
    if (!requested || !*requested) return {best, {}};
    const std::string prefix = std::string("tessival: TESSIVAL_ISA=") + requested + ": ";
    const std::optional<Isa> asked = parseIsa(requested);
    if (!asked)
        return {best, prefix + "unknown (portable, avx2 or avx512); using " + isaName(best)};
    if (*asked > best) return {best, prefix + "not supported by this CPU; using " + isaName(best)};
    return {*asked, {}};
}

Isa activeIsa() {
    const int v = active.load(std::memory_order_relaxed);
    if (v >= 0) return static_cast<Isa>(v);
    int expected = -1;
    active.compare_exchange_strong(expected, static_cast<int>(defaultIsa()),
                                   std::memory_order_relaxed);
    return static_cast<Isa>(active.load(std::memory_order_relaxed));
}

bool selectIsa(Isa isa) {
    if (isa > bestIsa()) return false;
    active.store(static_cast<int>(isa), std::memory_order_relaxed);
    return true;
}

void resetIsa() {
    active.store(static_cast<int>(defaultIsa()), std::memory_order_relaxed);
}

}  // namespace DSP
