#pragma once

// Drain progress for tests: asks the drain to stop at its n-th report.

#include <cstdint>

#include "stream/Drain.h"

namespace TestSupport {

class StopAt final : public Stream::iDrainProgress {
public:
    explicit StopAt(int n) : n_(n) {}
    bool progress(std::uint32_t, std::uint32_t, bool) override { return ++calls_ < n_; }
    void finished() override {}

private:
    int n_, calls_ = 0;
};

}  // namespace TestSupport
