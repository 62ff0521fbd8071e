#pragma once

// The instruction set every SIMD kernel family runs on (FFT, split FFT, the
// FFT filter's block loops, the polyphase loops): one switch for all.
//
// In force by default: the best set the CPU has, or the one named by the
// environment variable TESSIVAL_ISA (portable, avx2 or avx512), read once
// on first use (empty counts as unset). A name that is unknown, or a set the CPU lacks, falls back
// to the best set the CPU has at or below it (unknown: the best) and says
// so once on standard error; nothing fails.
//
// Tests and benchmarks may select any set the CPU has with selectIsa, also
// one above TESSIVAL_ISA. Kernels look the set up on every call, so a
// selection applies from the next kernel call on; select before starting
// work (a change while kernels run on other threads is not a data race, but
// their outputs may then mix sets).
#include <optional>
#include <string>
#include <string_view>

namespace DSP {

// Ordered: each set's kernels need what the ones below need, and more.
// Portable: SSE2 on x86-64. AVX2: AVX2 and FMA. AVX-512: AVX-512F, AVX2 and
// FMA.
enum class Isa { Portable, AVX2, AVX512 };

constexpr Isa kAllIsas[] = {Isa::Portable, Isa::AVX2, Isa::AVX512};
constexpr int kIsaCount = 3;

// "portable", "avx2", "avx512": the names TESSIVAL_ISA takes.
const char* isaName(Isa isa);
// The set a name stands for (exact, lower case), or none.
std::optional<Isa> parseIsa(std::string_view name);

// The best set this CPU (and the OS) supports; fixed for the process.
Isa bestIsa();

// The set an environment value `requested` (null: unset) leads to on a CPU
// whose best set is `best`, and the line to print when the value cannot be
// honoured as it is (empty otherwise).
struct IsaChoice {
    Isa isa;
    std::string warning;
};
IsaChoice chooseIsa(const char* requested, Isa best);

// The set in force now.
Isa activeIsa();
// Puts `isa` in force when the CPU has it and returns true; otherwise
// returns false and changes nothing.
bool selectIsa(Isa isa);
// Back to the default (TESSIVAL_ISA or the best set).
void resetIsa();

// The entry for the set in force of a kernel table laid out in Isa order.
template <class T>
const T& forActiveIsa(const T (&table)[kIsaCount]) {
    return table[static_cast<int>(activeIsa())];
}

}  // namespace DSP
