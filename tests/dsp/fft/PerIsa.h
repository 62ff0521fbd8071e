#pragma once

// Kernel tests run once per instruction set: the set is in force for the
// test body (the test is skipped where the CPU lacks it), then the default
// again.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>

#include "dsp/fft/Isa.h"

namespace DSP {
// Test output names the set.
inline void PrintTo(Isa isa, std::ostream* os) {
    *os << isaName(isa);
}
}  // namespace DSP

namespace IsaTesting {

inline DSP::Isa isaOf(DSP::Isa isa) {
    return isa;
}
template <class Case>
DSP::Isa isaOf(const std::tuple<Case, DSP::Isa>& param) {
    return std::get<1>(param);
}

// Param: DSP::Isa, or (case, DSP::Isa) from ::testing::Combine.
template <class Param = DSP::Isa>
class PerIsa : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        if (!DSP::selectIsa(isaOf(this->GetParam())))
            GTEST_SKIP() << "this CPU has no " << DSP::isaName(isaOf(this->GetParam()));
    }
    void TearDown() override { DSP::resetIsa(); }
};

inline const auto kEveryIsa = ::testing::ValuesIn(DSP::kAllIsas);

// Test names: the set's name, after the parameter's index for combined ones.
struct IsaName {
    std::string operator()(const ::testing::TestParamInfo<DSP::Isa>& info) const {
        return DSP::isaName(info.param);
    }
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<std::tuple<Case, DSP::Isa>>& info) const {
        return std::to_string(info.index) + "_" + DSP::isaName(std::get<1>(info.param));
    }
};

}  // namespace IsaTesting
