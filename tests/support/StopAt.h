#pragma once

// Drain progress for tests: asks the drain to stop at its n-th report, or does something then
// (while the drain goes on).

#include <cstdint>
#include <functional>
#include <utility>

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

class ActAt final : public Stream::iDrainProgress {
public:
    ActAt(int n, std::function<void()> action) : n_(n), action_(std::move(action)) {}
    bool progress(std::uint32_t, std::uint32_t, bool) override {
        if (++calls_ == n_) action_();
        return true;
    }
    void finished() override {}
    bool acted() const { return calls_ >= n_; }

private:
    int n_, calls_ = 0;
    std::function<void()> action_;
};

}  // namespace TestSupport
