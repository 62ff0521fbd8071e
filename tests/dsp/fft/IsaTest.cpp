#include <gtest/gtest.h>

#include <string>

#include "dsp/fft/Isa.h"

namespace {

using DSP::Isa;

// What TESSIVAL_ISA leads to on CPUs of each kind: the set named when the
// CPU has it, otherwise the best set at or below it (unknown: the best),
// with a warning that names the value and the set used.
TEST(Isa, EnvironmentValueOnEveryKindOfCpu) {
    struct Row {
        const char* value;
        Isa best;
        Isa want;
        bool warns;
    };
    const Row rows[] = {
        {nullptr, Isa::AVX512, Isa::AVX512, false},  // unset
        {"", Isa::AVX2, Isa::AVX2, false},
        {"portable", Isa::AVX512, Isa::Portable, false},
        {"avx2", Isa::AVX512, Isa::AVX2, false},
        {"avx2", Isa::AVX2, Isa::AVX2, false},
        {"avx512", Isa::AVX512, Isa::AVX512, false},
        {"portable", Isa::Portable, Isa::Portable, false},
        {"avx512", Isa::AVX2, Isa::AVX2, true},
        {"avx512", Isa::Portable, Isa::Portable, true},
        {"avx2", Isa::Portable, Isa::Portable, true},
        {"AVX2", Isa::AVX512, Isa::AVX512, true},  // names are lower case
        {"avx512f", Isa::AVX2, Isa::AVX2, true},
        {"sse2", Isa::Portable, Isa::Portable, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << (row.value ? row.value : "(unset)") << " on " << DSP::isaName(row.best));
        const DSP::IsaChoice c = DSP::chooseIsa(row.value, row.best);
        EXPECT_EQ(row.want, c.isa);
        EXPECT_EQ(row.warns, !c.warning.empty()) << c.warning;
        if (!row.warns) continue;
        EXPECT_NE(c.warning.find(std::string("TESSIVAL_ISA=") + row.value), std::string::npos);
        EXPECT_NE(c.warning.find(std::string("using ") + DSP::isaName(row.want)), std::string::npos)
            << c.warning;
    }
}

TEST(Isa, SelectionTakesOnlySetsTheCpuHasAndResetRestoresTheDefault) {
    const Isa initial = DSP::activeIsa();
    for (Isa isa : DSP::kAllIsas) {
        SCOPED_TRACE(DSP::isaName(isa));
        ASSERT_TRUE(DSP::selectIsa(Isa::Portable));
        const bool has = isa <= DSP::bestIsa();
        EXPECT_EQ(has, DSP::selectIsa(isa));
        EXPECT_EQ(has ? isa : Isa::Portable, DSP::activeIsa());
    }
    DSP::resetIsa();
    EXPECT_EQ(initial, DSP::activeIsa());
}

}  // namespace
